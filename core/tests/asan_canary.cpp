// A deliberate heap out-of-bounds read. Under AddressSanitizer this program
// must die with a report; if it exits normally, the sanitizer is not live.
#include <cstdio>
#include <vector>

int main(int argc, char **) {
  std::vector<int> values(4, 7);
  const int *data = values.data();
  // argc + 3 is 4 when run without arguments: one past the end.
  std::printf("read %d\n", data[argc + 3]);
  return 0;
}
