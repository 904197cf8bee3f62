#include "WorkerLog.h"

Q_LOGGING_CATEGORY(lcReceiver, "vantiko.worker")
