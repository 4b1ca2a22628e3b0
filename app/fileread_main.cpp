// The dticut command; everything it does lives in runDticut.
#include "app/fileread.h"

int main(int argc, char** argv) {
  return runDticut(argc, argv);
}
