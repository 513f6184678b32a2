#include "helper/formats/FormatDetector.h"
