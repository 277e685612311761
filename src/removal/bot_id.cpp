// BOT ID derivation (not built yet).
#include "../cleaner.h"

int DeriveBotId(WCHAR *) { return 0; }
