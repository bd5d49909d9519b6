#include "radio/SimAir.h"

#include "radio/RadioCheck.h"

#include <chrono>
#include <optional>

namespace vendrill::radio {

CSimAir::CSimAir(std::string busAddress, std::string object)
    : m_busAddress(std::move(busAddress)), m_object(std::move(object))
{
}

bool CSimAir::Tell(const std::string& address, const std::string& name, const std::string& pin, std::string* error)
{
    const std::optional<std::string> bda = ParseAddress(address);
    if (!bda) {
        *error = "not a Bluetooth address: '" + address + "'";
        return false;
    }
    if (!m_bus.Get() && !m_bus.OpenAddress(m_busAddress, error)) {
        *error = "cannot reach " + m_busAddress + ": " + *error;
        return false;
    }
    Message call = m_bus.NewCall("org.bluez", m_object.c_str(), "org.freedesktop.DBus.Mock", "SetAirDevice");
    if (call && sd_bus_message_append(call.get(), "sss", bda->c_str(), name.c_str(), pin.c_str()) < 0)
        call.reset();
    const Reply reply = m_bus.Call(call, Clock::now() + std::chrono::seconds(1), false);
    if (reply.Ok())
        return true;
    *error = reply.Describe();
    if (reply.wait != Wait::Done)
        m_bus.Close();
    return false;
}

}  // namespace vendrill::radio
