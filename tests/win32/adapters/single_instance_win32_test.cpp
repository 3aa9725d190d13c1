#include <gtest/gtest.h>

#include <windows.h>

#include "app/single_instance_win32.h"
#include "common/handle_win32.h"

namespace ordane {
namespace {

// The first instance runs elevated or as another user: its mutex exists but this process may
// not open it. That is still a running instance.
TEST(SingleInstanceWin32Test, MutexThatCannotBeOpenedCountsAsRunning) {
    const Text path = u"C:\\Ordane-single-instance-test\\Ordane";
    ACL emptyAcl;
    ASSERT_TRUE(InitializeAcl(&emptyAcl, sizeof emptyAcl, ACL_REVISION));
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, &emptyAcl, FALSE));
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    UniqueHandle other(CreateMutexW(&attributes, FALSE, SingleInstanceName(path).c_str()));
    ASSERT_TRUE(other.Valid());

    EXPECT_TRUE(SingleInstance(path).AlreadyRunning());
    EXPECT_FALSE(SingleInstance(path + u"2").AlreadyRunning());
}

}  // namespace
}  // namespace ordane
