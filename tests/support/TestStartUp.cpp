#include "tests/support/TestStartUp.h"

#include <pthread.h>

#include <stdexcept>

#include "app/Tarvex.h"
#include "util/Runtime.h"
#include "util/Signals.h"

namespace tarvex::test {

void ProgramStartUp(int AArgc, char** AArgv) {
    RuntimeStartUp(AArgc, AArgv);
    // The tests fork without exec: a child's signals must wake its own waits.
    if (pthread_atfork(nullptr, nullptr, &RenewSignalPipe) != 0) {
        throw std::runtime_error("cannot renew the signal pipe in forked children");
    }
    for (const TUnitStartUp startUp : TarvexUnitStartUps()) {
        startUp();
    }
}

}  // namespace tarvex::test
