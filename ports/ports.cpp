#include "ports/ports.h"
