// The collector of the user's kept jobs.
#include "job_road.h"

int RunCollector(HANDLE stop) {
  WaitForSingleObject(stop, INFINITE);
  return 0;
}
