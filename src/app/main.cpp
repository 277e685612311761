// Program entry: UTF-16 arguments, the exit code is the run's.
#include "../cleaner.h"

int wmain(int argc, WCHAR **argv)
{
  return RunCleaner(argc, argv);
}
