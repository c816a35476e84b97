#include "tests/support/TestStartUp.h"

#include <pthread.h>

#include <stdexcept>

#include "component/IdComponent.h"
#include "net/IdStackLinux.h"
#include "util/Runtime.h"
#include "util/Signals.h"

namespace tarvex::test {

void ProgramStartUp(int AArgc, char** AArgv) {
    RuntimeStartUp(AArgc, AArgv);
    // The tests fork without exec: a child's signals must wake its own waits.
    if (pthread_atfork(nullptr, nullptr, &RenewSignalPipe) != 0) {
        throw std::runtime_error("cannot renew the signal pipe in forked children");
    }
    IdStackLinuxStartUp();
    IdComponentStartUp();
    // Unit start-ups are added here as the units land (stack class, component guard).
}

}  // namespace tarvex::test
