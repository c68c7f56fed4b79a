#pragma once

#include <string>
#include <vector>

namespace driver
{
using Args = std::vector<std::string>;

// A whole decimal number in [min, max]; false for anything else.
bool toInt(const std::string &text, int &out, int min, int max);
// The usage text; 2, the status of a call whose words are off.
int usage();

// On one display (pointer-driver.cpp).
int move(const Args &args);
int where(const Args &args);
int push(const Args &args);
// Crossings between two displays, stamped into a trace file (crossings.cpp).
int crossings(const Args &args);
int edgeRun(const Args &args);
int bandRun(const Args &args);
int flicks(const Args &args);
int pushBacks(const Args &args);
// A running rig through unplug cycles or crossings, sampled as it goes (soak.cpp).
int soak(const std::string &phase, const Args &args);
} // namespace driver
