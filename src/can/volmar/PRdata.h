#pragma once
// What the receivers (PR) tell the gateway: their identity and firmware
// version, and the radio packets they forward.
//
// Radio packet (n bytes):
//   0-2      sender address
//   3        control: bit 0 direction (set: not for us), bit 1 RSSI answer
//            wanted, bits 2-3 extra address bytes e, bits 4-7 path length p - 1
//   4        e extra address bytes
//   4+e      p bytes of tag path, then the tag value (RadioTag.h)
#include <cstdint>

#include "can/volmar/PRMessage.h"
#include "can/volmar/PRRegistry.h"

class CanCMT;

namespace PRdata {

// Decodes one merged packet: answers an RSSI request to the strongest PR and
// hands a metering tag to the meter decoder.
void process(const PRMessage& message, CanCMT& protocol);

// The fourth byte of an RSSI answer: 2 x (dB above -90 dBm) + 1, from 1
// (-90 dBm or weaker) to 255 (+37 dBm or stronger): -20 dBm -> 141.
uint8_t rssiAnswerValue(int8_t rssi);

// A version report: v months since the start of 2021 and build b, logged as
// 20<21 + v / 12>.<v % 12>.<b>: v = 27, b = 3 -> 2023.03.3.
void onVersionReport(PRRegistry& registry, uint32_t address, uint8_t yearMonth, uint8_t build);
void onSerialAnnouncement(PRRegistry& registry, uint32_t address, uint64_t serial);

}  // namespace PRdata
