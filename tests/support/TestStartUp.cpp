#include "tests/support/TestStartUp.h"

#include "app/Tarvex.h"
#include "util/Runtime.h"

namespace tarvex::test {

void ProgramStartUp(int AArgc, char** AArgv) {
    RuntimeStartUp(AArgc, AArgv);
    for (const TUnitStartUp startUp : TarvexUnitStartUps()) {
        startUp();
    }
}

}  // namespace tarvex::test
