#include "relay/Spool.h"
