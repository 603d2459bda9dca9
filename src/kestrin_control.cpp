#include "kestrin_control.h"
