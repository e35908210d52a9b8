#include "SampleFileServerUtilities.h"

#include "MessagePort.h"

int SampleFileServerUtilities::sendMessage(const void* payload, int length, platform::RemotePort* port,
                                           int messageId, std::string* replyOut, int waitForReply,
                                           float timeoutSeconds) {
    if (payload == nullptr || port == nullptr || length < 0)
        return kUnsendableMessage;
    return port->sendRequest(messageId, payload, static_cast<size_t>(length), timeoutSeconds, timeoutSeconds,
                             waitForReply != 0, replyOut);
}
