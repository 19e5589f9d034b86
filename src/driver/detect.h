// Input format detection from the first 100 bytes and the path's ending.
#pragma once

namespace trovadex {

// FormatCode: 0 unknown, 24 missing/unreadable/empty, otherwise the reader's code.
int DetectFormat(const char* path);

}  // namespace trovadex
