#include "config_ops.h"
