// A recording device, the N-th of the system's audio inputs, in the input's thread.
#pragma once

#include "cvinput_p.h"

namespace CVEngine {

class RecordInput : public Input
{
public:
    RecordInput(std::shared_ptr<Channel> channel, QString name, std::function<void()> notify, int device);
    void abort() override;

protected:
    void run() override;

private:
    const int m_device;
};

} // namespace CVEngine
