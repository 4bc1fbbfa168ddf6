// A camera that forwards every call to a real camera object (the virtual camera) and lets a
// test see or replace single operations: storage writes and custom commands.
#pragma once

#include <functional>

#include "support/kxforwardcamera.h"

class KxSpyCamera : public kxtest::CForwardCamera {
public:
    typedef std::function<int(IOrEyeCamera&, unsigned int, const void*, unsigned int)> WriteHook;
    typedef std::function<void(const unsigned short*)> CommandHook;

    explicit KxSpyCamera(IOrEyeCamera* pInner) : CForwardCamera(pInner) {}

    WriteHook m_writeHook;      // replaces WriteStorage while set
    CommandHook m_commandHook;  // sees every custom-command record

    int WriteStorage(unsigned int a, const void* b, unsigned int c) override {
        return m_writeHook ? m_writeHook(*Inner(), a, b, c) : CForwardCamera::WriteStorage(a, b, c);
    }
    int ExecuteCustomCommand(const unsigned short* a, void* b) override {
        if (m_commandHook) m_commandHook(a);
        return CForwardCamera::ExecuteCustomCommand(a, b);
    }
};
