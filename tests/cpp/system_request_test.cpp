// The request's signal accounting and the payload readers, which Python cannot
// observe without timing.
#include <cmath>

#include <gtest/gtest.h>

#include "system/dispatch.hpp"

using quendal::system::Json;
using quendal::system::QuendalPyRequest;

TEST(SystemRequest, OnlyTheFirstPushIntoAnEmptyBufferSignals)
{
    QuendalPyRequest request;
    request.push(1);
    request.push(2);
    request.push(3);
    EXPECT_TRUE(request.tryWait());
    EXPECT_FALSE(request.tryWait());
    request.snapshot(true);
    request.push(4);  // still non-empty: no signal
    EXPECT_FALSE(request.tryWait());
}

TEST(SystemRequest, EveryOutcomeAndCloseSignalOnce)
{
    QuendalPyRequest request;
    request.finish("x");
    request.finish("y");
    request.fail("os", "z");
    EXPECT_TRUE(request.tryWait());
    EXPECT_FALSE(request.tryWait());
    request.close();
    EXPECT_TRUE(request.tryWait());
    EXPECT_FALSE(request.waitFor(1000000));
}

// The snapshot text is written by hand; it must be exactly what the JSON library
// writes for the same object, escapes included.
TEST(SystemRequest, SnapshotTextIsTheLibrarysDump)
{
    QuendalPyRequest streaming;
    streaming.setCapacity(2);
    streaming.push(Json{{"quote", "a\"b\\c\n\u00e9"}, {"n", 1.5}});
    streaming.push(Json::array({1, nullptr, true}));
    streaming.push("third");
    EXPECT_EQ(streaming.snapshotText(false),
              R"({"buffered":2,"capacity":2,"closed":false,"done":false,"dropped":1,"error":null,"result":null,"sample":[1,null,true]})");
    EXPECT_EQ(streaming.snapshotText(true),
              R"({"buffered":1,"capacity":2,"closed":false,"done":false,"dropped":1,"error":null,"result":null,"sample":[1,null,true]})");

    QuendalPyRequest escaped;
    const Json awkward{{"quote", "a\"b\\c\n\u00e9\x01"}, {"n", 1.5}};
    escaped.push(awkward);
    EXPECT_EQ(escaped.snapshotText(true),
              R"({"buffered":0,"capacity":128,"closed":false,"done":false,"dropped":0,"error":null,"result":null,"sample":)" +
                  awkward.dump() + "}");

    QuendalPyRequest failed;
    failed.fail("os", std::nullopt);
    const Json expected{{"buffered", 0}, {"capacity", 128}, {"closed", false}, {"dropped", 0}, {"done", true},
                        {"error", {{"kind", "os"}, {"message", "Apple framework operation failed."}}},
                        {"result", nullptr}, {"sample", nullptr}};
    EXPECT_EQ(failed.snapshotText(true), expected.dump());

    QuendalPyRequest finished;
    finished.finish(Json{{"text", "\u2603 \t"}});
    EXPECT_EQ(Json::parse(finished.snapshotText(true))["result"]["text"], "\u2603 \t");
}

TEST(SystemPayload, NumberReader)
{
    const Json payload = Json::parse(R"({"n": 5, "f": 2.5, "t": true, "s": "5", "z": null, "neg": -1})");
    EXPECT_TRUE(quendal::system::QuendalPyNumber(payload, "n", 5, 5));
    EXPECT_TRUE(quendal::system::QuendalPyNumber(payload, "f", 0, 3));
    EXPECT_TRUE(quendal::system::QuendalPyNumber(payload, "t", 1, 1));
    EXPECT_FALSE(quendal::system::QuendalPyNumber(payload, "n", 6, 10));
    EXPECT_FALSE(quendal::system::QuendalPyNumber(payload, "neg", 0, 10));
    EXPECT_FALSE(quendal::system::QuendalPyNumber(payload, "s", 0, 10));
    EXPECT_FALSE(quendal::system::QuendalPyNumber(payload, "z", 0, 10));
    EXPECT_FALSE(quendal::system::QuendalPyNumber(payload, "missing", -INFINITY, INFINITY));
}

TEST(SystemPayload, StringReader)
{
    const Json payload = Json::parse(R"({"e": "", "s": "x", "n": 1, "z": null})");
    EXPECT_TRUE(quendal::system::QuendalPyString(payload, "e", true));
    EXPECT_FALSE(quendal::system::QuendalPyString(payload, "e", false));
    EXPECT_TRUE(quendal::system::QuendalPyString(payload, "s", false));
    EXPECT_FALSE(quendal::system::QuendalPyString(payload, "n", true));
    EXPECT_FALSE(quendal::system::QuendalPyString(payload, "z", true));
    EXPECT_FALSE(quendal::system::QuendalPyString(payload, "missing", true));
}

TEST(SystemPayload, TruthFlags)
{
    const Json payload = Json::parse(R"({"yes": "  +00Yes", "t": "true", "nine": "-9", "no": "no", "zero": "000",
        "empty": "", "f": 0.0, "half": 0.5, "big": 18446744073709551615, "b": false, "z": null, "a": [], "o": {}})");
    using quendal::system::QuendalPyTruth;
    EXPECT_TRUE(QuendalPyTruth(payload, "yes"));
    EXPECT_TRUE(QuendalPyTruth(payload, "t"));
    EXPECT_TRUE(QuendalPyTruth(payload, "nine"));
    EXPECT_TRUE(QuendalPyTruth(payload, "half"));
    EXPECT_TRUE(QuendalPyTruth(payload, "big"));
    EXPECT_FALSE(QuendalPyTruth(payload, "no"));
    EXPECT_FALSE(QuendalPyTruth(payload, "zero"));
    EXPECT_FALSE(QuendalPyTruth(payload, "empty"));
    EXPECT_FALSE(QuendalPyTruth(payload, "f"));
    EXPECT_FALSE(QuendalPyTruth(payload, "b"));
    EXPECT_FALSE(QuendalPyTruth(payload, "missing"));
    EXPECT_THROW(QuendalPyTruth(payload, "z"), quendal::system::QuendalPyPayloadError);
    EXPECT_THROW(QuendalPyTruth(payload, "a"), quendal::system::QuendalPyPayloadError);
    EXPECT_THROW(QuendalPyTruth(payload, "o"), quendal::system::QuendalPyPayloadError);
}
