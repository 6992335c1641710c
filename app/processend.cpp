#include "app/processend.h"

#include "db/dbworker.h"

#include <cstdio>
#include <cstdlib>

void endProcess(int status)
{
    if (DbWorker::stopAll(1000))
        std::exit(status);
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}
