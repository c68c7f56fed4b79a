#include "hidcommand.h"

#include <QDebug>

bool HidCommand::opendevice(unsigned short vendorId, unsigned short productId)
{
    // The heartbeat reopens after a failed exchange while the switch may still be attached:
    // give the held handle back first, or every refused heartbeat would leak one.
    if (m_handle) {
        qDebug("closing the held handle before reopening");
        hid_close(m_handle);
        m_handle = nullptr;
        hid_exit();
    }

    if (hid_init() != 0) {
        m_handle = nullptr;
        return false;
    }
    qDebug("hid_init() ok.");

    hid_device *handle = hid_open(vendorId, productId, nullptr);
    if (!handle) {
        qDebug("unable to open device");
        m_handle = nullptr;
        hid_exit();
        return false;
    }
    qDebug().nospace() << "hid_open() ok, handle = " << static_cast<const void *>(handle);
    m_handle = handle;
    return true;
}

bool HidCommand::closedevice()
{
    qDebug("\nclosedev() called");
    if (m_handle) {
        hid_close(m_handle);
        m_handle = nullptr;
        hid_exit();
    }
    return true;
}

bool HidCommand::sendRequest(const unsigned char *frame, int length)
{
    if (!m_handle) {
        qDebug("please open device first !");
        return false;
    }
    if (!frame || length <= 0) {
        qDebug("refusing to send an empty feature report");
        return false;
    }
    if (hid_send_feature_report(m_handle, frame, static_cast<size_t>(length)) < 0) {
        qDebug("Unable to send a feature report.");
        return false;
    }
    return true;
}

bool HidCommand::getReply(unsigned char buffer[], int length)
{
    if (!m_handle) {
        qDebug("please open device first !");
        return false;
    }
    if (!buffer || length <= 0) {
        qDebug("refusing to read into an empty buffer");
        return false;
    }
    const int got = hid_get_feature_report(m_handle, buffer, static_cast<size_t>(length));
    if (got < 0) {
        qDebug("Unable to get a feature report.");
        return false;
    }
    // A short report still counts as read; the caller's buffer keeps its zeros past what came.
    if (got < length)
        qDebug("short feature report: %d of %d bytes", got, length);
    return true;
}
