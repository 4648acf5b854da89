// Age queue of the session table: one opening stamp per slot (32 slots), so that the
// session opened longest ago can be found and evicted when every slot is taken.
#pragma once

// Marks every slot as not queued.
void HalvorantQueue_initQueue();
// Stamps slot 0..31 with the next age; false (and nothing changes) for any other index.
bool HalvorantQueue_setQueue(int index);
// The queued slot with the smallest stamp (opened first), or -1 when none is queued.
int HalvorantQueue_getQueue();
// The same among the slots for which candidate[index] is true; -1 when none is queued.
int HalvorantQueue_getQueueAmong(const bool candidate[32]);
// Un-queues slot 0..31; other indexes are ignored.
void HalvorantQueue_removeQueue(int index);
