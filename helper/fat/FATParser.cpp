#include "helper/fat/FATParser.h"
