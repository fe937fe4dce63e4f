// ThisProgram() for the test, fuzz and bench binaries: a variant that tests may change.
#include "test_variant.h"

ProgramVariant g_testVariant{"unittest", TraceVariant::PREFIXED, PortTable::FULL};

const ProgramVariant& ThisProgram() {
    return g_testVariant;
}
