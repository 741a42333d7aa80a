// Calls by name: which recipients answer which names, typed arguments, forwarding and weak
// recipients that are gone.
#include "platform/object.h"

#include <gtest/gtest.h>

namespace {

using platform::Object;
using platform::Selector;

class Recipient : public Object {
  PLATFORM_OBJECT
 public:
  void finished(const std::shared_ptr<Object>& sender) { lastSender = sender; ++calls; }
  void headers(const std::shared_ptr<Object>&, const platform::StringMap& map) { lastHeaders = map; ++calls; }
  void bytes(const std::shared_ptr<Object>&, qint64 amount) { total += amount; ++calls; }
  void progress(double value) { lastProgress = value; ++calls; }
  void url(const std::shared_ptr<Object>&, const QUrl& to) { lastUrl = to; ++calls; }
  void data(const std::shared_ptr<Object>&, const QByteArray& bytes) { lastData = bytes; ++calls; }

  std::shared_ptr<Object> lastSender;
  platform::StringMap lastHeaders;
  qint64 total = 0;
  double lastProgress = -1;
  QUrl lastUrl;
  QByteArray lastData;
  int calls = 0;
};

const platform::MethodTable& Recipient::classMethods() {
  static const platform::MethodTable table(&Object::classMethods(), {
      platform::method("requestFinished:", &Recipient::finished),
      platform::method("request:didReceiveResponseHeaders:", &Recipient::headers),
      platform::method("request:didReceiveBytes:", &Recipient::bytes),
      platform::method("setDoubleValue:", &Recipient::progress),
      platform::method("request:willRedirectToURL:", &Recipient::url),
      platform::method("request:didReceiveData:", &Recipient::data),
  });
  return table;
}

// A subclass inherits its base class's operations and adds one.
class DerivedRecipient : public Recipient {
  PLATFORM_OBJECT
 public:
  void failed(const std::shared_ptr<Recipient>& sender) { failedSender = sender; }
  std::shared_ptr<Recipient> failedSender;
};

const platform::MethodTable& DerivedRecipient::classMethods() {
  static const platform::MethodTable table(&Recipient::classMethods(), {
      platform::method("requestFailed:", &DerivedRecipient::failed),
  });
  return table;
}

// Forwards every name its target answers, as a queue forwards reports to its delegate.
class Forwarder : public Object {
  PLATFORM_OBJECT
 public:
  std::weak_ptr<Object> target;
  bool respondsToSelector(Selector selector) const override {
    return Object::respondsToSelector(selector) || platform::responds(target, selector);
  }

 protected:
  bool forwardInvocation(Selector selector, const platform::Arguments& args) override {
    auto t = target.lock();
    return t && t->performSelector(selector, args);
  }
};

const platform::MethodTable& Forwarder::classMethods() {
  static const platform::MethodTable table(&Object::classMethods(), {});
  return table;
}

TEST(SelectorTest, EqualNamesAreOneSelectorAndNullHasNoName) {
  Selector a("requestFinished:");
  Selector b(std::string("request") + "Finished:");
  EXPECT_EQ(a, b);
  EXPECT_NE(a, Selector("requestFailed:"));
  EXPECT_EQ(a.toString(), QStringLiteral("requestFinished:"));
  EXPECT_TRUE(Selector().isNull());
  EXPECT_TRUE(Selector("").isNull());
  EXPECT_EQ(Selector(QStringLiteral("requestFinished:")), a);
}

TEST(ObjectTest, AnswersOnlyTheNamesItsClassListsAndPerformsThemWithTypedArguments) {
  auto recipient = std::make_shared<Recipient>();
  auto sender = std::make_shared<Recipient>();
  EXPECT_TRUE(recipient->respondsToSelector("requestFinished:"));
  EXPECT_FALSE(recipient->respondsToSelector("requestFailed:"));
  EXPECT_FALSE(recipient->respondsToSelector(Selector()));

  EXPECT_TRUE(recipient->perform("requestFinished:", sender));
  EXPECT_EQ(recipient->lastSender, sender);

  platform::StringMap headers{{"Content-Length", "10"}};
  EXPECT_TRUE(recipient->perform("request:didReceiveResponseHeaders:", sender, headers));
  EXPECT_EQ(recipient->lastHeaders, headers);

  EXPECT_TRUE(recipient->perform("request:didReceiveBytes:", sender, qint64(-5)));
  EXPECT_TRUE(recipient->perform("request:didReceiveBytes:", sender, 12));
  EXPECT_EQ(recipient->total, 7);

  EXPECT_TRUE(recipient->perform("setDoubleValue:", 0.25));
  EXPECT_DOUBLE_EQ(recipient->lastProgress, 0.25);

  EXPECT_TRUE(recipient->perform("request:willRedirectToURL:", sender, QUrl("http://127.0.0.1/x")));
  EXPECT_EQ(recipient->lastUrl, QUrl("http://127.0.0.1/x"));
  EXPECT_TRUE(recipient->perform("request:didReceiveData:", sender, QByteArray("abc")));
  EXPECT_EQ(recipient->lastData, QByteArray("abc"));
}

TEST(ObjectTest, MissingNamesAndMismatchedArgumentsDoNothingAndSaySo) {
  auto recipient = std::make_shared<Recipient>();
  EXPECT_FALSE(recipient->perform("requestFailed:", recipient));
  EXPECT_FALSE(recipient->perform(Selector(), recipient));
  // Wrong count and wrong kinds of arguments.
  EXPECT_FALSE(recipient->perform("requestFinished:"));
  EXPECT_FALSE(recipient->perform("requestFinished:", recipient, recipient));
  EXPECT_FALSE(recipient->perform("request:didReceiveData:", recipient, QUrl("http://x/")));
  EXPECT_EQ(recipient->calls, 0);
}

TEST(ObjectTest, SubclassesInheritOperationsAndObjectArgumentsMustHaveTheParameterClass) {
  auto derived = std::make_shared<DerivedRecipient>();
  auto plain = std::make_shared<Recipient>();
  EXPECT_TRUE(derived->respondsToSelector("requestFinished:"));
  EXPECT_TRUE(derived->respondsToSelector("requestFailed:"));
  EXPECT_FALSE(plain->respondsToSelector("requestFailed:"));

  EXPECT_TRUE(derived->perform("requestFailed:", plain));
  EXPECT_EQ(derived->failedSender, plain);
  auto forwarder = std::make_shared<Forwarder>();
  EXPECT_FALSE(derived->perform("requestFailed:", forwarder));  // not a Recipient
}

TEST(ObjectTest, ForwardingClassesAnswerForTheirTarget) {
  auto target = std::make_shared<Recipient>();
  auto forwarder = std::make_shared<Forwarder>();
  EXPECT_FALSE(forwarder->respondsToSelector("requestFinished:"));
  forwarder->target = target;
  EXPECT_TRUE(forwarder->respondsToSelector("requestFinished:"));
  EXPECT_TRUE(forwarder->perform("requestFinished:", forwarder));
  EXPECT_EQ(target->lastSender, forwarder);
  EXPECT_FALSE(forwarder->perform("requestFailed:", forwarder));
}

TEST(ObjectTest, WeakRecipientsAreReadAtCallTime) {
  std::weak_ptr<Recipient> weak;
  {
    auto recipient = std::make_shared<Recipient>();
    weak = recipient;
    EXPECT_TRUE(platform::responds(weak, "requestFinished:"));
    EXPECT_TRUE(platform::perform(weak, "setDoubleValue:", 1.0));
  }
  EXPECT_FALSE(platform::responds(weak, "requestFinished:"));
  EXPECT_FALSE(platform::perform(weak, "setDoubleValue:", 1.0));
}

}  // namespace
