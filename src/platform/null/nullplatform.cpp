#include "platform/platform.h"

// No platform commands, and no sleep or wake to follow: the heartbeat finds a lost switch.
int Platform::runCommand(int, char *[])
{
    return NoCommand;
}

void Platform::watchSession(SessionEvents) { }
