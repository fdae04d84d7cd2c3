#include <cstdio>

int main() {
  std::fputs("usage: tarnwick [--debug] <folder>\n", stdout);
  return 0;
}
