#include "filename.h"
