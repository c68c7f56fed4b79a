#include "virtualhid.h"

#include <hidapi.h>

#include <QHash>
#include <QtGlobal>

#include <chrono>
#include <mutex>
#include <set>
#include <thread>

// hidapi leaves its device type opaque; this is ours.
struct hid_device_ {
    int apport = 1;
    bool dead = false;
    // Answers not yet read, oldest first. Only a switch that answers twice (answerTwice) lets
    // more than the last one wait here; otherwise a new request replaces what was not read.
    QList<QByteArray> unread;
    QByteArray lastRequest;
};

namespace
{
struct State {
    SwitchModel model;
    bool plugged = true;
    int attachPort = 1;
    std::set<hid_device *> handles;

    bool failInit = false;
    int refuse = 0;
    int refuseId = -1;
    int refuseIdSkip = 0;
    bool failSend = false;
    int failSendId = -1;
    int failSendSkip = 0;
    bool failRead = false;
    int shortenTo = -1;
    bool hasOverride = false;
    QByteArray overrideReply;
    int wrongId = 0;
    int twice = 0;
    bool strayAnswers = false; // set by either fault, until reset()
    int answerDelayMsec = 0;

    int inits = 0;
    int exits = 0;
    int closes = 0;
    QList<QByteArray> sent;
};

std::recursive_mutex s_mutex;
// Handles opened before the last reset(): dead, not counted, but still closed cleanly.
// Never destroyed, like the state below: connections that are never closed (the agent's
// lives as long as the process) stay reachable to the end instead of showing as leaks.
std::set<hid_device *> &s_stale = *new std::set<hid_device *>;
VirtualHid::ReplySource s_replySource;

State &state()
{
    static State &s = *new State;
    return s;
}

bool isLive(hid_device *dev)
{
    return dev && state().handles.count(dev) && !dev->dead;
}

// The switch's count of agents on a port: its open connections there.
int agentsOn(int port)
{
    int n = 0;
    for (hid_device *dev : state().handles)
        n += !dev->dead && dev->apport == port;
    return n;
}
} // namespace

namespace VirtualHid
{
void reset()
{
    std::lock_guard<std::recursive_mutex> lock(s_mutex);
    State &s = state();
    for (hid_device *dev : s.handles) {
        dev->dead = true;
        s_stale.insert(dev);
    }
    s = State();
}

SwitchModel &model()
{
    return state().model;
}

void setAttachPort(int port)
{
    std::lock_guard<std::recursive_mutex> lock(s_mutex);
    state().attachPort = port;
}

void unplug()
{
    std::lock_guard<std::recursive_mutex> lock(s_mutex);
    state().plugged = false;
    for (hid_device *dev : state().handles)
        dev->dead = true;
}

void plug()
{
    std::lock_guard<std::recursive_mutex> lock(s_mutex);
    state().plugged = true;
}

bool isPlugged()
{
    return state().plugged;
}

void failNextInit()
{
    state().failInit = true;
}

void refuseNext(int requests)
{
    state().refuse = qMax(0, requests);
}

void refuseNextWithId(int reportId, int skip)
{
    state().refuseId = reportId;
    state().refuseIdSkip = qMax(0, skip);
}

void failNextSend(int reportId, int skip)
{
    state().failSend = true;
    state().failSendId = reportId;
    state().failSendSkip = qMax(0, skip);
}

void failNextRead()
{
    state().failRead = true;
}

void shortenNextReply(int bytes)
{
    state().shortenTo = qMax(0, bytes);
}

void overrideNextReply(const QByteArray &reply)
{
    state().hasOverride = true;
    state().overrideReply = reply;
}

void answerWithWrongId(int answers)
{
    state().wrongId = qMax(0, answers);
    state().strayAnswers = true;
}

void answerTwice(int answers)
{
    state().twice = qMax(0, answers);
    state().strayAnswers = true;
}

void setAnswerDelay(int msec)
{
    state().answerDelayMsec = qBound(0, msec, 1000);
}

void setReplySource(ReplySource source)
{
    std::lock_guard<std::recursive_mutex> lock(s_mutex);
    s_replySource = std::move(source);
}

int openHandles()
{
    std::lock_guard<std::recursive_mutex> lock(s_mutex);
    return int(state().handles.size());
}

int initCalls()
{
    return state().inits;
}

int exitCalls()
{
    return state().exits;
}

int closeCalls()
{
    return state().closes;
}

QList<QByteArray> sentFrames()
{
    std::lock_guard<std::recursive_mutex> lock(s_mutex);
    return state().sent;
}

void clearSentFrames()
{
    std::lock_guard<std::recursive_mutex> lock(s_mutex);
    state().sent.clear();
}
} // namespace VirtualHid

extern "C" {

int hid_init(void)
{
    std::lock_guard<std::recursive_mutex> lock(s_mutex);
    State &s = state();
    ++s.inits;
    if (s.failInit) {
        s.failInit = false;
        return -1;
    }
    return 0;
}

int hid_exit(void)
{
    std::lock_guard<std::recursive_mutex> lock(s_mutex);
    ++state().exits;
    return 0;
}

hid_device *hid_open(unsigned short, unsigned short, const wchar_t *)
{
    // Any identifiers open the one switch: the agent's constants are its own business.
    std::lock_guard<std::recursive_mutex> lock(s_mutex);
    State &s = state();
    if (!s.plugged)
        return nullptr;
    auto *dev = new hid_device_;
    dev->apport = s.attachPort;
    s.handles.insert(dev);
    return dev;
}

void hid_close(hid_device *dev)
{
    std::lock_guard<std::recursive_mutex> lock(s_mutex);
    State &s = state();
    ++s.closes;
    if (dev && (s.handles.erase(dev) || s_stale.erase(dev)))
        delete dev;
}

int hid_send_feature_report(hid_device *dev, const unsigned char *data, size_t length)
{
    std::lock_guard<std::recursive_mutex> lock(s_mutex);
    State &s = state();
    const QByteArray frame(reinterpret_cast<const char *>(data), int(length));
    s.sent.append(frame);
    if (!isLive(dev))
        return -1;
    dev->lastRequest = frame;
    const bool matches
        = s.failSendId < 0 || (!frame.isEmpty() && static_cast<unsigned char>(frame.at(0)) == s.failSendId);
    if (s.failSend && matches) {
        if (s.failSendSkip > 0) {
            --s.failSendSkip;
        } else {
            s.failSend = false;
            return -1;
        }
    }
    bool refuse = false;
    if (s.refuseId >= 0 && !frame.isEmpty() && static_cast<unsigned char>(frame.at(0)) == s.refuseId) {
        if (s.refuseIdSkip > 0) {
            --s.refuseIdSkip;
        } else {
            s.refuseId = -1;
            refuse = true;
        }
    }
    if (s.refuse > 0) {
        --s.refuse;
        refuse = true;
    }
    QByteArray answer = refuse ? SwitchModel::reply(frame.isEmpty() ? 0 : frame.at(0), SwitchModel::Refused)
                               : s.model.handle(dev->apport, frame, agentsOn(dev->apport));
    if (s.wrongId > 0) {
        --s.wrongId;
        answer[0] = char(answer.at(0) ^ 0x01); // the ID of another request
    }
    if (!s.strayAnswers)
        dev->unread.clear();
    dev->unread.append(answer);
    if (s.twice > 0) {
        --s.twice;
        dev->unread.append(answer);
    }
    // A switch holds a few answers at most.
    while (dev->unread.size() > 8)
        dev->unread.removeFirst();
    return int(length);
}

int hid_get_feature_report(hid_device *dev, unsigned char *data, size_t length)
{
    // A slow switch: the answer takes this long over the wire.
    if (const int delay = state().answerDelayMsec)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    std::lock_guard<std::recursive_mutex> lock(s_mutex);
    State &s = state();
    if (!isLive(dev) || !data || length == 0)
        return -1;
    if (s.failRead) {
        s.failRead = false;
        return -1;
    }

    QByteArray reply;
    if (s_replySource) {
        const QByteArray request = dev->lastRequest;
        dev->lastRequest.clear();
        dev->unread.clear();
        if (!s_replySource(request, reply))
            return -1;
    } else if (s.hasOverride) {
        s.hasOverride = false;
        reply = s.overrideReply;
        dev->unread.clear();
    } else if (!dev->unread.isEmpty()
        && (s.strayAnswers || static_cast<unsigned char>(dev->unread.first().at(0)) == data[0])) {
        // A switch with stray answers gives whatever it holds first, asked for or not.
        reply = dev->unread.takeFirst();
    } else {
        // Nothing asked for this report: the switch has no answer to give.
        reply = SwitchModel::reply(char(data[0]), SwitchModel::Refused);
        dev->unread.clear();
    }
    if (!s.strayAnswers)
        dev->unread.clear();

    int n = qMin(reply.size(), int(length));
    if (s.shortenTo >= 0) {
        n = qMin(n, s.shortenTo);
        s.shortenTo = -1;
    }
    for (int i = 0; i < n; ++i)
        data[i] = static_cast<unsigned char>(reply.at(i));
    return n;
}

} // extern "C"
