// The C boundary.
#include <tamo/settings.h>
