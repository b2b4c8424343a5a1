#include "serializer.h"
