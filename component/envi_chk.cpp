// Placeholder; the check object lands with the checks.
#include "vardenix/envi_chk.h"
