#include "core/run/prepare.h"
#include "core/error.h"

#include <gtest/gtest.h>

namespace {
PreparedMessage prepare(const QString& entry, const QStringList& body, EmailMessage* out = nullptr)
{
    EmailMessage m;
    PreparedMessage p = PrepareMessage(entry, body, m);
    if (out)
        *out = m;
    return p;
}
} // namespace

TEST(PrepareMessage, FillsPlaceholdersByNumber)
{
    EmailMessage m;
    EXPECT_EQ(prepare(" a@b.com ", {"Hi [= PARAM1 =]!"}, &m).body, QStringList{"Hi  !"});
    EXPECT_EQ(m.Recipients, (EmailAddressList{{"a@b.com", ""}}));
    EXPECT_EQ(prepare("a@b.com,Ann,Lee", {"Dear [= PARAM1 =] [= param2 =],"}).body, QStringList{"Dear Ann Lee,"});
    EXPECT_EQ(prepare("a@b.com, Ann,Lee", {"Dear [= PARAM1 =] [= param2 =],"}).body, QStringList{"Dear  Ann Lee,"});
    EXPECT_EQ(prepare("a@b.com,,Lee", {"[= PARAM1 =]|[= PARAM2 =]"}).body, QStringList{"|Lee"});
    EXPECT_EQ(prepare("a@b.com,x,y", {"[= PARAM16 =][= PARAM01 =][=PARAM1=]"}).body,
              QStringList{"[= PARAM16 =][= PARAM01 =][=PARAM1=]"});
}

TEST(PrepareMessage, FillsTwentyValuesAndBlanksOnlyUpToFifteen)
{
    QString entry = "a@b.com";
    for (int i = 1; i <= 20; ++i)
        entry += ",v" + QString::number(i);
    EXPECT_EQ(prepare(entry, {"[= PARAM20 =] [= PARAM12 =]"}).body, QStringList{"v20 v12"});
    EXPECT_EQ(prepare("a@b.com", {"[= PARAM15 =][= PARAM16 =]"}).body, QStringList{" [= PARAM16 =]"});
}

// A body's placeholders are found once for the entries that follow: each entry still gets its
// own values, a PARAMn past 15 is a value only for an entry that has it (and else leaves the
// text around it to be read as before), and other names or another body are found afresh.
TEST(PrepareMessage, EachEntryOfARunGetsItsOwnValues)
{
    QString many = "a@b.com";
    for (int i = 1; i <= 16; ++i)
        many += ",v" + QString::number(i);
    const QStringList body{"[= [= PARAM16 =] =] [= PARAM1 =]", "[= city =], [= PARAM2 =]", "plain"};
    EmailMessage m;
    const QStringList names{"first", "city"};
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(PrepareMessage(many, body, m, names).body, (QStringList{"[= v16 =] v1", "v2, v2", "plain"}));
        EXPECT_EQ(PrepareMessage("c@d.com,Ann", body, m, names).body,
                  (QStringList{"[= [= PARAM16 =] =] Ann", " ,  ", "plain"}));
        EXPECT_EQ(PrepareMessage("c@d.com,Ann,Rome", body, m, {"city"}).body,
                  (QStringList{"[= [= PARAM16 =] =] Ann", "Ann, Rome", "plain"}));
        EXPECT_EQ(PrepareMessage("c@d.com,Ann", {"Hi [= PARAM1 =]"}, m, names).body, QStringList{"Hi Ann"});
    }
}

// A value goes in as it is: placeholders inside it are text. Values that named one another once
// grew a 795-byte line into a 17 MB message, and a 1 KB line aborted the program.
TEST(PrepareMessage, ValuesHoldingPlaceholdersStayAsTheyAre)
{
    EXPECT_EQ(prepare("a@b.com,[= PARAM2 =],two", {"[= PARAM1 =]"}).body, QStringList{"[= PARAM2 =]"});
    EXPECT_EQ(prepare("a@b.com,one,[= PARAM1 =]", {"[= PARAM2 =]"}).body, QStringList{"[= PARAM1 =]"});
    EXPECT_EQ(prepare("a@b.com,[= PARAM,1 =]", {"[= PARAM1 =]"}).body, QStringList{"[= PARAM"}); // no placeholder across values
    QString entry = "a@b.com";
    for (int i = 1; i <= 15; ++i)
        entry += "," + QString("[= PARAM%1 =]").arg(i + 1).repeated(4);
    const QStringList body = prepare(entry, {"[= PARAM1 =][= PARAM1 =]"}).body;
    EXPECT_EQ(body, QStringList{QString("[= PARAM2 =]").repeated(8)});
    EmailMessage m;
    const PreparedMessage named = PrepareMessage("a@b.com,[= PARAM2 =],x", {"[= first =]"}, m, {"first", "second"});
    EXPECT_EQ(named.body, QStringList{"[= PARAM2 =]"});
}

TEST(PrepareMessage, ContentTypeFromTheFirstLineAfterReplacement)
{
    EXPECT_EQ(prepare("a@b.com", {"<html><body>", "x"}).contentType, "text/html");
    EXPECT_EQ(prepare("a@b.com", {"<HTML><BODY>", "x"}).contentType, "text/plain");
    EXPECT_EQ(prepare("a@b.com", {"plain", "<html>"}).contentType, "text/plain");
    const PreparedMessage p = prepare("a@b.com,<html><p>Hi", {"[= PARAM1 =]"});
    EXPECT_EQ(p.contentType, "text/html");
    EXPECT_EQ(p.body, QStringList{"<html><p>Hi"});
}

TEST(PrepareMessage, Failures)
{
    EmailMessage m;
    try {
        PrepareMessage("a@b.com", {}, m);
        FAIL();
    } catch (const BrevoraError& e) {
        EXPECT_EQ(e.message(), "The content has no text: its body file is empty or cannot be read.");
    }
    EXPECT_EQ(m.Recipients.size(), 1); // the recipient was set first
    EXPECT_THROW(PrepareMessage("<a@b.com> @x", {"x"}, m), BrevoraError);
    // Preparing twice leaves only the second recipient.
    PrepareMessage("one@b.com", {"x"}, m);
    PrepareMessage("two@b.com", {"x"}, m);
    EXPECT_EQ(m.Recipients, (EmailAddressList{{"two@b.com", ""}}));
    PrepareMessage("  ", {"x"}, m);
    EXPECT_TRUE(m.Recipients.isEmpty());
}

// The List-Unsubscribe value carries each recipient's own links, placeholders filled and
// percent-encoded so that nothing in a value can end a link; the header folds only between the
// links (a link never has a blank in it), and only an https URL makes it one-click.
TEST(Unsubscribe, FilledPerRecipientAndFoldedBetweenTheLinks)
{
    const Unsubscribe links{"mailto:leave@example.com?subject=unsub%20[= email =]",
                            "https://example.com/u?e=[= EMAIL =]&n=[= PARAM1 =]&x=[= PARAM2 =]&id=" + QString(40, 'x')};
    const UnsubscribeHeader h = UnsubscribeFor(links, "ann+tag@example.org,Ann Lee>,a&b");
    const QByteArray mailto = "<mailto:leave@example.com?subject=unsub%20ann%2Btag%40example.org>";
    const QByteArray url = "<https://example.com/u?e=ann%2Btag%40example.org&n=Ann%20Lee%3E&x=a%26b&id=" + QByteArray(40, 'x') + ">";
    EXPECT_EQ(h.value, mailto + ", " + url);
    EXPECT_TRUE(h.oneClick);
    HeaderList headers;
    headers.add("List-Unsubscribe", h.value);
    // Each link on a line of its own: the first does not fit beside the name within 78 columns.
    EXPECT_EQ(headers.lines(), (QList<QByteArray>{"List-Unsubscribe:", " " + mailto + ",", " " + url}));

    const UnsubscribeHeader mailOnly = UnsubscribeFor({"mailto:leave@example.com", ""}, "bo@example.org");
    EXPECT_EQ(mailOnly.value, "<mailto:leave@example.com>");
    EXPECT_FALSE(mailOnly.oneClick);
    EXPECT_TRUE(UnsubscribeFor({}, "bo@example.org").value.isEmpty());
    EXPECT_THROW(UnsubscribeFor({"", "https://example.com/?id=[= PARAM1 =]"}, "bo@example.org," + QString(1000, 'v')), BrevoraError);

    // What the content dialog and --unsubscribe take.
    EXPECT_NO_THROW(CheckUnsubscribe(links));
    EXPECT_THROW(CheckUnsubscribe({"", "http://example.com/u"}), BrevoraError);
    EXPECT_THROW(CheckUnsubscribe({"leave@example.com", ""}), BrevoraError);
    EXPECT_THROW(CheckUnsubscribe({"", "https://example.com/u v"}), BrevoraError);
    EXPECT_THROW(CheckUnsubscribe({"", "https://example.com/u>\r\nBcc: x@example.org"}), BrevoraError);
}
