// The process entry: runs the start-up sequence and the console.
#include "memory/series.h"

int main(int, char**) {
  qel::memory::init();
  return 0;
}
