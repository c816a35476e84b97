#include <gtest/gtest.h>
#include <pthread.h>

#include <stdexcept>

#include "app/Tarvex.h"
#include "tests/support/E2eSupport.h"
#include "util/Runtime.h"
#include "util/Signals.h"

// The program's own start-up (runtime, locale, signals, units) runs first, so the tests see the
// same process state as the program.
int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    tarvex::RuntimeStartUp(argc, argv);
    // The tests fork without exec: a child's signals must wake its own waits.
    if (pthread_atfork(nullptr, nullptr, &tarvex::test::RenewSignalPipe) != 0) {
        throw std::runtime_error("cannot renew the signal pipe in forked children");
    }
    for (const tarvex::TUnitStartUp startUp : tarvex::TarvexUnitStartUps()) {
        startUp();
    }
    return RUN_ALL_TESTS();
}
