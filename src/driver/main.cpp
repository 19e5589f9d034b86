#include "driver/run.h"

int main(int argc, char** argv) { return trovadex::RunMain(argc, argv); }
