#include "tests/support/TestStartUp.h"

#include "component/IdComponent.h"
#include "net/IdStackLinux.h"
#include "util/Runtime.h"

namespace tarvex::test {

void ProgramStartUp(int AArgc, char** AArgv) {
    RuntimeStartUp(AArgc, AArgv);
    IdStackLinuxStartUp();
    IdComponentStartUp();
    // Unit start-ups are added here as the units land (stack class, component guard).
}

}  // namespace tarvex::test
