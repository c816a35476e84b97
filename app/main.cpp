#include "app/Tarvex.h"
#include "util/Runtime.h"

int main(int argc, char** argv) {
    return tarvex::RunProgram(argc, argv, tarvex::TarvexUnitStartUps(), &tarvex::TarvexBody);
}
