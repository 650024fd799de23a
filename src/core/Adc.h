#pragma once
// Raw readings of the SoC's ADC through Linux IIO: one file per channel under
// /sys/bus/iio/devices/iio:device0/ holding a decimal number ("2521\n").
#include <string>

// The channel file's number, read from offset 0 each time (a simulator
// rewrites the file in place). A file that is missing, unreadable or does not
// start with a digit reads 0.
int readAdcRaw(const std::string& channelFile);
