#include "engine/windows/drive_device_path.h"

namespace kavel_lib::engine::windows {

namespace {

void append_utf8(std::string& out, char32_t c) {
  // Surrogates and values past U+10FFFF are not characters; they stand as U+FFFD.
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

std::string drive_device_path(char32_t letter) {
  if (letter >= U'a' && letter <= U'z') letter = letter - U'a' + U'A';
  std::string path = "\\\\.\\";
  append_utf8(path, letter);
  path.push_back(':');
  return path;
}

}  // namespace kavel_lib::engine::windows
