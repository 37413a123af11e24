// Terminal decorations the host uses when it prints status.
#pragma once

#include "korviad/kd_export.h"

class KD_EXPORT kdTerm {
 public:
  class KD_EXPORT Icon {
   public:
    static const char* const INFO;
    static const char* const WARN;
  };
};
