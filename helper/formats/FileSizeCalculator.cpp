#include "helper/formats/FileSizeCalculator.h"
