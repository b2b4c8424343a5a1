#include "file_ops.h"
