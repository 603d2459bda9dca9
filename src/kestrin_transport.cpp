#include "kestrin_transport.h"
