#include "capture/endpoint_list.h"

#include <gtest/gtest.h>

#include "capture_fixture.h"

namespace quavelink::test {
namespace {

class EndpointListTest : public CaptureTest {};

TEST_F(EndpointListTest, IndexZeroIsTheDefaultMultimediaDevice) {
    EXPECT_EQ(endpoints.endpointName(0), "Default multimedia device");
}

TEST_F(EndpointListTest, NoNamesBeforeTheCollectionExists) {
    system.addDevice(renderDevice("speakers"));
    EXPECT_EQ(endpoints.endpointName(1), std::nullopt);
}

TEST_F(EndpointListTest, NamesFollowTheCollectionOrderAndEndAfterTheLast) {
    system.addDevice(renderDevice("speakers", 48000, 2, "Built-in Speakers"));
    system.addDevice(captureDevice("mic", 48000, "USB Microphone"));
    // No default render device: the lookup fails, the collection is made all the same.
    ASSERT_EQ(endpoints.findEndpoint(0), audio::kErrorNotFound);
    EXPECT_EQ(endpoints.endpointName(1), "Built-in Speakers");
    EXPECT_EQ(endpoints.endpointName(2), "USB Microphone");
    // Asking one past the end is how the list finds its end: nothing to report.
    LogCapture log;
    EXPECT_EQ(endpoints.endpointName(3), std::nullopt);
    EXPECT_FALSE(log.containsPrefix("Unable to get device")) << log.all().front();
}

TEST_F(EndpointListTest, DevicesAddedLaterAreNotListed) {
    system.addDevice(renderDevice("speakers"));
    endpoints.findEndpoint(0);
    system.addDevice(renderDevice("late"));
    EXPECT_EQ(endpoints.endpointName(2), std::nullopt);
}

// The server thread may hold any index: a refresh appends, and a device that went keeps its
// index (and its name) until it is back.
TEST_F(EndpointListTest, ARefreshAppendsNewDevicesAndKeepsEveryIndex) {
    system.addDevice(renderDevice("speakers", 48000, 2, "Speakers"));
    system.addDevice(captureDevice("mic", 48000, "Microphone"));
    endpoints.findEndpoint(0);
    ASSERT_EQ(endpoints.endpointName(2), "Microphone");
    system.addDevice(renderDevice("headset", 48000, 2, "Headset"));
    system.removeDevice("mic");
    EXPECT_TRUE(endpoints.refresh());
    EXPECT_FALSE(endpoints.refresh()) << "nothing changed since";
    EXPECT_EQ(endpoints.endpointName(2), "Microphone");
    EXPECT_EQ(endpoints.endpointName(3), "Headset");
    EXPECT_FALSE(endpoints.present(2));
    std::shared_ptr<audio::Endpoint> device;
    ASSERT_EQ(endpoints.findEndpoint(3, &device), audio::kOk);
    EXPECT_EQ(device->GetId(), "headset");
    system.restoreDevice("mic");
    EXPECT_TRUE(endpoints.refresh());
    EXPECT_TRUE(endpoints.present(2));
    ASSERT_EQ(endpoints.findEndpoint(2, &device), audio::kOk);
    EXPECT_EQ(device->GetId(), "mic");
}

TEST_F(EndpointListTest, MissingFriendlyNameIsUnknown) {
    auto device = renderDevice("speakers");
    device.properties.friendlyName.reset();
    system.addDevice(device);
    endpoints.findEndpoint(0);
    EXPECT_EQ(endpoints.endpointName(1), "Unknown");
}

TEST_F(EndpointListTest, LongNameIsCutAndLaterDevicesStayListed) {
    system.addDevice(renderDevice("long", 48000, 2, std::string(300, 'x')));
    system.addDevice(renderDevice("next", 48000, 2, "Next"));
    endpoints.findEndpoint(0);
    EXPECT_EQ(endpoints.endpointName(1), std::string(255, 'x'));
    EXPECT_EQ(endpoints.endpointName(2), "Next");
}

TEST_F(EndpointListTest, LongNameIsCutOnACharacterBoundary) {
    std::string name = std::string(254, 'x') + "\xc3\xa9" + "yy";  // é across byte 255
    system.addDevice(renderDevice("long", 48000, 2, name));
    endpoints.findEndpoint(0);
    EXPECT_EQ(endpoints.endpointName(1), std::string(254, 'x'));
}

TEST_F(EndpointListTest, UnreadablePropertyStoreEndsTheName) {
    system.addDevice(renderDevice("speakers"));
    system.fail("OpenPropertyStore:speakers", audio::kErrorFail);
    endpoints.findEndpoint(0);
    LogCapture log;
    EXPECT_EQ(endpoints.endpointName(1), std::nullopt);
    EXPECT_EQ(log.count("Unable to open device 0 property store: 80004005\n"), 1);
}

TEST_F(EndpointListTest, IndexZeroOpensTheDefaultRenderEndpoint) {
    system.addDevice(renderDevice("speakers"));
    system.addDevice(renderDevice("headphones"));
    system.setDefault(audio::DataFlow::Render, "headphones");
    std::shared_ptr<audio::Endpoint> device;
    bool isDefault = false;
    ASSERT_EQ(endpoints.findEndpoint(0, &device, &isDefault), audio::kOk);
    EXPECT_TRUE(isDefault);
    EXPECT_EQ(device->GetId(), "headphones");
    ASSERT_EQ(endpoints.findEndpoint(1, &device, &isDefault), audio::kOk);
    EXPECT_FALSE(isDefault);
    EXPECT_EQ(device->GetId(), "speakers");
}

TEST_F(EndpointListTest, FailuresArePrintedWithTheirCodes) {
    system.addDevice(renderDevice("speakers"));
    LogCapture log;
    EXPECT_EQ(endpoints.findEndpoint(0), audio::kErrorNotFound);
    EXPECT_EQ(log.count("Unable to get default device for role 1: 80070490\n"), 1);
    EXPECT_EQ(endpoints.findEndpoint(5), audio::kErrorNotFound);
    EXPECT_EQ(log.count("Unable to retrieve device 4: 80070490\n"), 1);
    system.fail("CreateDeviceEnumerator", audio::kErrorServiceNotRunning, 1);
    EXPECT_EQ(endpoints.findEndpoint(1), audio::kErrorServiceNotRunning);
    EXPECT_EQ(log.count("Unable to instantiate device enumerator: 88890010\n"), 1);
}

TEST_F(EndpointListTest, FailedEnumerationIsTriedAgain) {
    system.addDevice(renderDevice("speakers"));
    system.fail("EnumAudioEndpoints", audio::kErrorFail, 1);
    LogCapture log;
    EXPECT_EQ(endpoints.findEndpoint(1), audio::kErrorFail);
    EXPECT_EQ(log.count("Unable to retrieve device collection: 80004005\n"), 1);
    EXPECT_EQ(endpoints.findEndpoint(1), audio::kOk);
}

}  // namespace
}  // namespace quavelink::test
