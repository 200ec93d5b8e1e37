#include "tests/support/Lan.h"
#include "tests/support/RunningCopy.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

namespace {
class ChatEndToEndTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        REQUIRE_LAN(2);
        requester = std::make_unique<RunningCopy>(1);
        accepter = std::make_unique<RunningCopy>(2);
        ASSERT_TRUE(WaitFor([&] { return Peers(*requester).contains(accepter->Identity()); }));
    }

    QStringList Peers(RunningCopy& copy)
    {
        const auto main = copy.WaitForWindow("Quorvane");
        return main ? copy.ListEntries(*main, "peerList") : QStringList();
    }

    // The requester asks for a chat; returns the accepter's request window.
    std::optional<RunningCopy::Window> Request(const QString& subject)
    {
        const auto main = requester->WaitForWindow("Quorvane");
        requester->Click(*main, "Chat");
        const auto sendWindow = requester->WaitForWindow("Send Chat Request");
        if (!sendWindow) {
            return std::nullopt;
        }
        EXPECT_EQ(
            requester->Text(*sendWindow, "headerLabel"), "Send Chat Request To " + accepter->Identity());
        requester->Set(*sendWindow, "subjectEdit", subject);
        requester->Click(*sendWindow, "Send");
        return accepter->WaitForWindow("Received Chat Request");
    }

    void Decline(const RunningCopy::Window& request, const QString& reason)
    {
        accepter->Click(request, "Decline");
        const auto decline = accepter->WaitForWindow("Decline Request");
        ASSERT_TRUE(decline);
        accepter->Set(*decline, "reasonEdit", reason);
        accepter->Click(*decline, "Send");
    }

    std::unique_ptr<RunningCopy> requester;
    std::unique_ptr<RunningCopy> accepter;
};

bool TranscriptIs(RunningCopy& copy, const QString& expected)
{
    return WaitFor([&] {
        const auto chat = copy.WaitForWindow("Chat", {}, 1000);
        return chat && copy.Text(*chat, "transcriptEdit").trimmed() == expected;
    });
}
} // namespace

TEST_F(ChatEndToEndTest, AcceptedChatCarriesLinesBothWaysUntilOneSideLeaves)
{
    const auto request = Request("Lunch?");
    ASSERT_TRUE(request);
    EXPECT_EQ(accepter->Text(*request, "headerLabel"), "Received Chat Request From " + requester->Identity());
    EXPECT_EQ(accepter->Text(*request, "subjectEdit").trimmed(), "Lunch?");
    accepter->Click(*request, "Accept");

    const auto requesterChat = requester->WaitForWindow("Chat");
    const auto accepterChat = accepter->WaitForWindow("Chat");
    ASSERT_TRUE(requesterChat && accepterChat);
    EXPECT_EQ(requester->Text(*requesterChat, "headerLabel"), "Chatting With " + accepter->Identity());
    EXPECT_EQ(accepter->Text(*accepterChat, "headerLabel"), "Chatting With " + requester->Identity());
    EXPECT_TRUE(requester->WindowsTitled("Send Chat Request").empty());
    EXPECT_TRUE(accepter->WindowsTitled("Received Chat Request").empty());

    requester->Set(*requesterChat, "inputEdit", "hi there");
    requester->Click(*requesterChat, "Send");
    EXPECT_TRUE(TranscriptIs(*accepter, requester->Identity() + ":hi there"));
    accepter->Set(*accepterChat, "inputEdit", "noon?");
    accepter->Click(*accepterChat, "Send");
    EXPECT_TRUE(TranscriptIs(*requester, "You:hi there\n" + accepter->Identity() + ":noon?"));

    accepter->Click(*accepterChat, "Close");
    const auto question = accepter->WaitForMessageBox("Are you sure?");
    ASSERT_TRUE(question);
    accepter->Click(*question, "Yes");
    const auto left = requester->WaitForMessageBox(accepter->Identity() + " Left The Chat");
    ASSERT_TRUE(left);
    requester->Click(*left, "OK");
    for (RunningCopy* side : {requester.get(), accepter.get()}) {
        EXPECT_TRUE(WaitFor([&] {
            const auto chat = side->WaitForWindow("Chat", {}, 1000);
            return chat && side->Text(*chat, "headerLabel") == "Chat Ended";
        }));
    }
}

TEST_F(ChatEndToEndTest, DeclineWithAReasonShowsItToTheRequester)
{
    const auto request = Request("Meeting at three");
    ASSERT_TRUE(request);
    Decline(*request, "Busy until four");
    const auto declined = requester->WaitForWindow("Request Decined");
    ASSERT_TRUE(declined);
    EXPECT_EQ(requester->Text(*declined, "reasonEdit"), "Busy until four");
    EXPECT_TRUE(requester->WindowsTitled("Send Chat Request").empty());
}

TEST_F(ChatEndToEndTest, DeclineWithoutAReasonSaysSo)
{
    const auto request = Request("Coffee?");
    ASSERT_TRUE(request);
    Decline(*request, "");
    EXPECT_TRUE(requester->WaitForMessageBox("Request Declined Without Reason"));
    EXPECT_TRUE(requester->WindowsTitled("Request Decined").empty());
}
