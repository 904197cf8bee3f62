#include "ExportLog.h"

Q_LOGGING_CATEGORY(lcExport, "vantiko.export")
