#include "value.h"
