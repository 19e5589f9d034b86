#include "driver/run.h"

int main(int argc, char** argv) {
  // Help and version are answered before the run touches any file.
  if (int code = trovadex::AnswerLoneArgument(argc, argv, TROVADEX_VERSION); code >= 0) return code;
  return trovadex::RunMain(argc, argv);
}
