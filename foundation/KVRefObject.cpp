#include "foundation/KVRefObject.h"

void* TKVRefLifeObject::GetInterface(const TGUID&) { return nullptr; }
