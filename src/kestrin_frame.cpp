#include "kestrin_frame.h"
