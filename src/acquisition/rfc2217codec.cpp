// SPDX-License-Identifier: MIT
#include "rfc2217codec.h"

#include <cstring>

namespace {

constexpr int kLongestSubnegotiation = 64;

bool supported(uint8_t option)
{
    return option == Rfc2217Codec::Binary || option == Rfc2217Codec::SuppressGoAhead
        || option == Rfc2217Codec::ComPortOption;
}

void appendCommand(QByteArray &out, uint8_t verb, uint8_t option)
{
    out.append(char(Rfc2217Codec::IAC));
    out.append(char(verb));
    out.append(char(option));
}

// A com port command; value bytes equal to IAC are doubled, as everywhere inside a subnegotiation.
void appendComPort(QByteArray &out, uint8_t command, const QByteArray &value)
{
    out.append(char(Rfc2217Codec::IAC));
    out.append(char(Rfc2217Codec::SB));
    out.append(char(Rfc2217Codec::ComPortOption));
    out.append(char(command));
    for (char byte : value) {
        out.append(byte);
        if (uint8_t(byte) == Rfc2217Codec::IAC)
            out.append(byte);
    }
    out.append(char(Rfc2217Codec::IAC));
    out.append(char(Rfc2217Codec::SE));
}

QByteArray bigEndian(uint32_t value)
{
    QByteArray bytes(4, '\0');
    for (int k = 0; k < 4; ++k)
        bytes[k] = char((value >> (24 - 8 * k)) & 0xFF);
    return bytes;
}

} // namespace

QByteArray Rfc2217Codec::opening(uint32_t baudRate)
{
    requestedBaudRate = baudRate;
    QByteArray out;
    for (uint8_t option : {Binary, SuppressGoAhead}) {
        weWill[option] = theyWill[option] = true;
        appendCommand(out, WILL, option);
        appendCommand(out, DO, option);
    }
    weWill[ComPortOption] = true;
    appendCommand(out, WILL, ComPortOption);
    return out;
}

QByteArray Rfc2217Codec::baudRateQuery()
{
    QByteArray out;
    appendComPort(out, SetBaudRate, bigEndian(0));
    return out;
}

QByteArray Rfc2217Codec::lineSettings() const
{
    QByteArray out;
    appendComPort(out, SetBaudRate, bigEndian(requestedBaudRate));
    appendComPort(out, SetDataSize, QByteArray(1, char(8)));
    appendComPort(out, SetParity, QByteArray(1, char(ParityNone)));
    appendComPort(out, SetStopSize, QByteArray(1, char(StopBitsOne)));
    appendComPort(out, SetControl, QByteArray(1, char(ControlHardwareFlow)));
    return out;
}

void Rfc2217Codec::receive(const char *bytes, int length, QByteArray &data, QByteArray &reply)
{
    const char *at = bytes;
    const char *const end = bytes + length;
    while (at < end) {
        const uint8_t byte = uint8_t(*at);
        switch (state) {
        case State::Data: {
            // Runs of plain data are copied whole: almost every byte of a stream is one.
            const void *iac = std::memchr(at, IAC, size_t(end - at));
            const char *stop = iac ? static_cast<const char *>(iac) : end;
            data.append(at, int(stop - at));
            at = stop;
            if (iac) {
                state = State::Iac;
                ++at;
            }
            continue;
        }
        case State::Iac:
            if (byte == IAC) {
                data.append(char(IAC));
                state = State::Data;
            } else if (byte == DO || byte == DONT || byte == WILL || byte == WONT) {
                verb = byte;
                state = State::Verb;
            } else if (byte == SB) {
                sub.clear();
                state = State::Sub;
            } else {
                state = State::Data; // NOP, go-ahead, data mark and the like carry no data
            }
            break;
        case State::Verb:
            negotiate(verb, byte, reply);
            state = State::Data;
            break;
        case State::Sub:
            if (byte == IAC)
                state = State::SubIac;
            else if (sub.size() < kLongestSubnegotiation)
                sub.append(char(byte));
            break;
        case State::SubIac:
            if (byte == IAC) {
                if (sub.size() < kLongestSubnegotiation)
                    sub.append(char(IAC));
                state = State::Sub;
            } else {
                if (byte == SE)
                    subnegotiation();
                // Anything else after IAC inside a subnegotiation is malformed: it ends there.
                state = State::Data;
            }
            break;
        }
        ++at;
    }
}

void Rfc2217Codec::negotiate(uint8_t request, uint8_t option, QByteArray &reply)
{
    switch (request) {
    case DO:
        if (!supported(option)) {
            appendCommand(reply, WONT, option);
            return;
        }
        if (!weWill[option]) {
            weWill[option] = true;
            appendCommand(reply, WILL, option);
        }
        break;
    case WILL:
        if (!supported(option)) {
            appendCommand(reply, DONT, option);
            return;
        }
        if (!theyWill[option]) {
            theyWill[option] = true;
            appendCommand(reply, DO, option);
        }
        break;
    case DONT:
        if (weWill[option]) {
            weWill[option] = false;
            appendCommand(reply, WONT, option);
        }
        if (option == ComPortOption)
            comPortDenied = !comPortAgreed;
        return;
    case WONT:
        if (theyWill[option]) {
            theyWill[option] = false;
            appendCommand(reply, DONT, option);
        }
        return;
    }
    // The line settings go out once the server has taken up the com port option.
    if (option == ComPortOption && !comPortAgreed) {
        comPortAgreed = true;
        comPortDenied = false;
        reply.append(lineSettings());
    }
}

void Rfc2217Codec::subnegotiation()
{
    if (sub.size() < 2 || uint8_t(sub[0]) != ComPortOption || uint8_t(sub[1]) < ServerOffset)
        return;
    ++answers;
    const QByteArray value = sub.mid(2);
    const auto first = [&value] { return value.isEmpty() ? uint8_t(0) : uint8_t(value[0]); };
    switch (uint8_t(sub[1]) - ServerOffset) {
    case SetBaudRate:
        if (value.size() == 4)
            settings.baudRate = uint32_t(uint8_t(value[0])) << 24
                | uint32_t(uint8_t(value[1])) << 16 | uint32_t(uint8_t(value[2])) << 8
                | uint32_t(uint8_t(value[3]));
        break;
    case SetDataSize:
        settings.dataSize = first();
        break;
    case SetParity:
        settings.parity = first();
        break;
    case SetStopSize:
        settings.stopSize = first();
        break;
    case SetControl:
        // The same command also reports break, DTR and RTS; only the flow control values count
        // here.
        if (first() >= 1 && first() <= 3)
            settings.control = first();
        break;
    default:
        break; // line and modem state notices, the signature: signs of life, nothing to keep
    }
}
