#pragma once

#include "switchmodel.h"

#include <QByteArray>
#include <QList>

#include <functional>

// Control of the in-process stand-in for hidapi: the six hidapi functions that tests link in
// place of the real library talk to one SwitchModel. Everything here is for tests: put the
// switch in a state, inject faults, and read what the agent did.
namespace VirtualHid
{

// Fresh model, switch plugged in, no faults, counters and recorded frames cleared.
// Handles that are still open become dead.
void reset();

SwitchModel &model();

// Port that the next opened handle is attached to (its "apportNum"); 1 after reset().
void setAttachPort(int port);

// Unplugged: hid_open finds nothing and every handle already open fails its sends and reads.
// Plugged back, hid_open works again; handles from before stay dead, as with real hardware.
void unplug();
void plug();
bool isPlugged();

// Faults for the next calls, each used up by the call it hits.
void failNextInit();
void refuseNext(int requests); // answered with status 0x01, whatever the request
// The next request with this report ID is refused after letting `skip` of them through.
void refuseNextWithId(int reportId, int skip = 0);
// hid_send_feature_report returns -1 for the next frame, or for the next one with this
// report ID after letting `skip` of them through.
void failNextSend(int reportId = -1, int skip = 0);
void failNextRead(); // hid_get_feature_report returns -1
void shortenNextReply(int bytes); // the next reply delivers only this many bytes
void overrideNextReply(const QByteArray &reply); // the next read returns exactly these bytes
// Stray answers: the next `answers` answers carry the ID of another request, or are each given
// twice (the copy comes before the answer to the next request). From then on, until reset(),
// a read gets the oldest answer not yet read, whatever ID it asks for.
void answerWithWrongId(int answers);
void answerTwice(int answers);
// A slow switch: every read takes this long (0 to 1000 ms); kept until reset().
void setAnswerDelay(int msec);
// Every read from now on is answered by this function instead of the model: it gets the
// request frame last sent on that handle (empty if none) and fills the reply, or returns false
// for a failed read. An empty function restores the model. Kept over reset().
using ReplySource = std::function<bool(const QByteArray &request, QByteArray &reply)>;
void setReplySource(ReplySource source);

int openHandles();
int initCalls();
int exitCalls();
int closeCalls();

// Every frame given to hid_send_feature_report, in order, also the failed ones.
QList<QByteArray> sentFrames();
void clearSentFrames();

} // namespace VirtualHid
