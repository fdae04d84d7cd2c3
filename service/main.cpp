#include <cstdio>

int main() {
  std::fputs("usage: PolvaneService [--console | --elevated-console]\n", stdout);
  return 0;
}
