// The Sheet and Range arguments of the spreadsheet readers. The input is the
// Sheet argument, a line feed, and the Range argument; they select from a
// workbook of three sheets and two named ranges.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "readers/grid.h"

namespace {

trovadex::SheetSelection SampleSelection() {
  trovadex::SheetSelection s;
  s.sheets = {{"SHEET1", 100, 0}, {"DATA", 900, 1}, {"SHEET 3", 2000, 3}};
  s.ranges = {{"TABLE", 1, 1, 2, 4, 30}, {"ODD", 2, 0, 0, 255, 65535}};
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  trovadex::fuzz::Initialize(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t split = input.find('\n');
  std::string_view sheet = input.substr(0, split);
  std::string_view range = split == std::string_view::npos ? std::string_view() : input.substr(split + 1);
  trovadex::fuzz::RunInput([&] {
    trovadex::SheetSelection alone;
    trovadex::ParseRangeArgument(input, alone);
    trovadex::ParseRangeArgument(range, alone);
    trovadex::SheetSelection selection = SampleSelection();
    if (trovadex::SelectByArgument(selection, std::string(sheet), static_cast<long>(size % 3)))
      trovadex::ResolveSelection(selection, range);
  });
  return 0;
}
