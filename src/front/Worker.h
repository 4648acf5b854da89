// Internal to src/front/: no other module includes it.
// Requests without the main-thread flag: processed one at a time on the worker thread, so
// no listener thread ever waits for the processing lock or for an adapter call. A listener
// parks the request (HandOff, MainThread.h) and answers it when it is delivered.
#pragma once
#include "front/MainThread.h"

// Starts the worker thread with the function that processes one request. Once.
void Worker_Start(MainThreadProcess process);
// Stops taking requests, delivers kHandOffClosed to the queued ones, waits for the one
// being processed (delivered as usual) and joins the thread.
void Worker_Stop();
// Queues map (taken over) for origin and parks the request; false (map released, nothing
// parked) when the worker is not running or the job cannot be allocated.
bool Worker_Submit(const char* origin, HalvorantJsonMap* map, HandOff handOff);
// True when the worker has nothing queued and nothing in hand: a request processed
// elsewhere now overtakes none that came before it.
bool Worker_Idle();
