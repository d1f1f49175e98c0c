#pragma once
// The instrument behind the server: the callbacks that hand written program
// messages to the SCPI engine and return its replies per link, and the start
// of the server thread.
#include <pthread.h>

#include <cstdint>
#include <string>

#include "vxi_proc.h"

// The callback table below, as the server takes it.
_vxi_io_ vxiAppCallbacks();

// A new link gets a reply queue of its own, from which a read fetches up to
// 2 MiB at a time; the instrument goes to remote. 0.
int newVxiConnect(int32_t lid, uint32_t* most);
// Collects the data of a link's writes until one carries END, then hands the
// whole program message to the SCPI engine; its reply goes to the link's
// queue, or, past the link's share of unread replies (CVxiReplyQueue::push),
// -223 to the error queue. The message's reading waits last as long as the
// write that ends it asks (io_timeout), or a read of its reply if longer.
// Every write drops the replies of the link's earlier messages, those queued,
// read in part (`left`) and still being made; when a query was interrupted
// so (IEEE 488.2), the message reports -410 in its own turn, first of its
// errors (not for a reply still being made whose read timed out: `left`).
// The input waiting for END counts in the service-wide budget and holds
// 1 MiB at most (64 KiB while the budget is spent); the link has
// ScpiStrand::kMaxQueuedPerClient lists in the engine at most, the one that
// runs among them (an ABORt is taken beyond). Returns the length taken, or
// -1 when nothing of the message parsed (its errors and -100 are queued) or
// the input or the lists overrun (-363 is queued and the input dropped).
int recvVxiData(int32_t lid, const char* data, uint32_t length, uint32_t ioTimeoutMs, bool end, VxiReplyLeft left);
// Raises the reading time-out of the link's latest message to the client's
// and fetches from the link's queue (CVxiReplyQueue::fill) without waiting.
int fillVxiData(int32_t lid, std::string& data, uint32_t most, uint32_t ioTimeoutMs, bool* eom);
// The link is gone: its queue and input are freed, the instrument goes local.
void delVxiConnect(int32_t lid);
// The status byte, as *STB? answers it.
int fillDevStbVal(int32_t lid, uint32_t ioTimeoutMs);
// Sends *TRG on the link, after the messages the link sent before; its
// errors go to the error queue. 1 (-1 for an unknown link, or when the
// link's lists overrun as for recvVxiData).
int devTrigProc(int32_t lid, uint32_t ioTimeoutMs);
int devClearProc(int32_t lid, uint32_t ioTimeoutMs);
int setDevRemote(int32_t lid, uint32_t ioTimeoutMs);
int setDevLocal(int32_t lid, uint32_t ioTimeoutMs);
void stopVxiProcess();

// Starts the server thread on port 20712 once, asking for round-robin
// scheduling at `priority` (without the capability the default policy is
// used, with one warning); later calls return the same thread.
pthread_t vxiServiceThredCreate(int priority);
