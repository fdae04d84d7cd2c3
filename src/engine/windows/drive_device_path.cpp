#include "engine/windows/drive_device_path.h"

#include "engine/windows/wtf8.h"

namespace kavel_lib::engine::windows {

namespace {

void append_utf8(std::string& out, char32_t c) {
  // Surrogates and values past U+10FFFF are not characters; they stand as U+FFFD.
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
  append_code_point(out, static_cast<std::uint32_t>(c));
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
