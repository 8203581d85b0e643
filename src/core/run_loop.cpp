// dvrcore::Start: the ordered start-up, the queue worker, and the ordered shutdown.
#include "core/dvrcore.h"

void dvrcore::Start()
{
    // PLACEHOLDER(run loop): start-up, the queue worker and shutdown are still missing; the core
    // returns at once.
}
