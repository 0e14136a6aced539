// A C++ project that finds the installed library with find_package(orvel).
#include <orvel.h>

#include <cstdio>

int main() {
  const int result = orvel_selftest();
  std::printf("cmake consumer: liborvel %s selftest %d\n", orvel_version(), result);
  return result;
}
