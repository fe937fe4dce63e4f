// The variant seen by ThisProgram() in test binaries; a test sets it and puts it back.
#pragma once

#include "variant.h"

extern ProgramVariant g_testVariant;

class ScopedVariant {
  public:
    explicit ScopedVariant(TraceVariant trace, PortTable ports = PortTable::FULL)
        : saved_(g_testVariant) {
        g_testVariant.trace = trace;
        g_testVariant.ports = ports;
    }
    ~ScopedVariant() { g_testVariant = saved_; }

  private:
    ProgramVariant saved_;
};

// The communication-log texts seen by ThisProgram(), put back at the end of the scope.
class ScopedCommLogTexts {
  public:
    explicit ScopedCommLogTexts(CommLogTexts texts) : saved_(g_testVariant.commlog) {
        g_testVariant.commlog = texts;
    }
    ~ScopedCommLogTexts() { g_testVariant.commlog = saved_; }

  private:
    CommLogTexts saved_;
};
