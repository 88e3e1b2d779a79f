#include "s3sign/codec.h"
#include "s3sign/signing.h"

#include <QtTest>

#include <clocale>

using namespace s3sign;

class TestS3sign : public QObject
{
    Q_OBJECT

private slots:
    void hexAndBase64();
    void percentEncoding();
    void percentDecoding();
    void dates();
    void v4Vectors();
    void presignedTokens();
};

static std::string bytes(std::initializer_list<unsigned char> list)
{
    return std::string(list.begin(), list.end());
}

void TestS3sign::hexAndBase64()
{
    const std::string all = bytes({0x00, 0x0f, 0x10, 0x7f, 0x80, 0xab, 0xff});
    QCOMPARE(hex(reinterpret_cast<const unsigned char *>(all.data()), all.size()),
             std::string("000f107f80abff"));
    QCOMPARE(hex(nullptr, 0), std::string());
    for (char c : std::string("0123456789abcdefABCDEF"))
        QCOMPARE(hexValue(c), int(std::string("0123456789abcdef").find(char(std::tolower(c)))));
    for (char c : std::string("gG/:@`% \xff"))
        QCOMPARE(hexValue(c), -1);

    // RFC 4648 vectors: every padding length.
    const std::pair<const char *, const char *> vectors[] = {{"", ""},
                                                             {"f", "Zg=="},
                                                             {"fo", "Zm8="},
                                                             {"foo", "Zm9v"},
                                                             {"foob", "Zm9vYg=="},
                                                             {"fooba", "Zm9vYmE="},
                                                             {"foobar", "Zm9vYmFy"}};
    for (const auto &[plain, coded] : vectors)
        QCOMPARE(base64(plain), std::string(coded));
    QCOMPARE(base64(bytes({0xfb, 0xff})), std::string("+/8="));
}

void TestS3sign::percentEncoding()
{
    // Unreserved characters pass; every reserved one, space, '%' and '+' is escaped in uppercase.
    QCOMPARE(percentEncode("AZaz09-_.~", false), std::string("AZaz09-_.~"));
    QCOMPARE(percentEncode(":/?#[]@!$&'()*+,;= %", false),
             std::string("%3A%2F%3F%23%5B%5D%40%21%24%26%27%28%29%2A%2B%2C%3B%3D%20%25"));
    QCOMPARE(percentEncode("a/b c/", true), std::string("a/b%20c/"));
    QCOMPARE(percentEncode("a/b", false), std::string("a%2Fb"));
    // UTF-8 byte by byte; control bytes and NUL too.
    QCOMPARE(percentEncode("ü中", false), std::string("%C3%BC%E4%B8%AD"));
    QCOMPARE(percentEncode(std::string("\0\n\x7f", 3), false), std::string("%00%0A%7F"));
    QCOMPARE(percentEncode("", true), std::string());
}

void TestS3sign::percentDecoding()
{
    std::string out = "kept";
    QVERIFY(percentDecode("a%20b%2Fc%2fd+e%25", out));
    QCOMPARE(out, std::string("a b/c/d+e%"));
    QVERIFY(percentDecode("%C3%BC%00", out));
    QCOMPARE(out, std::string("\xc3\xbc\0", 3));
    QVERIFY(percentDecode("", out));
    QCOMPARE(out, std::string());

    // Malformed escapes fail and leave the output as it was.
    for (const char *bad : {"%", "%4", "a%", "%zz", "%4g", "%%41", "ok%2"}) {
        out = "kept";
        QVERIFY2(!percentDecode(bad, out), bad);
        QCOMPARE(out, std::string("kept"));
    }

    // Whatever is encoded decodes back to itself, every byte value included.
    std::string every;
    for (int c = 0; c < 256; ++c)
        every += char(c);
    for (bool keepSlash : {false, true}) {
        QVERIFY(percentDecode(percentEncode(every, keepSlash), out));
        QCOMPARE(out, every);
    }
}

void TestS3sign::dates()
{
    QCOMPARE(httpDate(0), std::string("Thu, 01 Jan 1970 00:00:00 GMT"));
    QCOMPARE(amzDate(0), std::string("19700101T000000Z"));
    QCOMPARE(amzDate(1369353600), std::string("20130524T000000Z"));
    QCOMPARE(amzDate(1709251199), std::string("20240229T235959Z"));
    // The header date stays English under another locale, as the stores read it.
    const std::string before = std::setlocale(LC_TIME, nullptr);
    if (std::setlocale(LC_TIME, "de_DE.UTF-8") || std::setlocale(LC_TIME, "C.UTF-8"))
        QCOMPARE(httpDate(1369353600), std::string("Fri, 24 May 2013 00:00:00 GMT"));
    std::setlocale(LC_TIME, before.c_str());
}

// The published examples of the HMAC-SHA256 signature: an object PUT whose key needs escaping, and
// two bucket GETs whose sub-resources test the canonical query (sorting, empty values).
void TestS3sign::v4Vectors()
{
    const std::string secret = "wJalrXUtnFEMI/K7MDENG/bPxRfiCYEXAMPLEKEY";
    const std::string when = "20130524T000000Z";
    const std::string emptyHash = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    QCOMPARE(sha256Hex(""), emptyHash);

    V4Request put;
    put.method = "PUT";
    put.path = "/test$file.text";
    put.payloadHash = sha256Hex("Welcome to Amazon S3.");
    put.headers = {{"date", "Fri, 24 May 2013 00:00:00 GMT"},
                   {"host", "examplebucket.s3.amazonaws.com"},
                   {"x-amz-content-sha256", put.payloadHash},
                   {"x-amz-date", when},
                   {"x-amz-storage-class", "REDUCED_REDUNDANCY"}};
    QVERIFY(v4CanonicalRequest(put).rfind("PUT\n/test%24file.text\n\n", 0) == 0);
    QCOMPARE(v4Signature(secret, when, "us-east-1", v4CanonicalRequest(put)),
             std::string("98ad721746da40c64f1a55b78f14c238d841ea1380cd77a1b5971af0ece108bd"));

    V4Request lifecycle;
    lifecycle.method = "GET";
    lifecycle.path = "/";
    lifecycle.query = {{"lifecycle", ""}};
    lifecycle.payloadHash = emptyHash;
    lifecycle.headers = {{"host", "examplebucket.s3.amazonaws.com"},
                         {"x-amz-content-sha256", emptyHash},
                         {"x-amz-date", when}};
    QCOMPARE(v4Signature(secret, when, "us-east-1", v4CanonicalRequest(lifecycle)),
             std::string("fea454ca298b7da1c68078a5d1bdbfbbe0d65c699e0f91ac7a200a0136783543"));

    V4Request list = lifecycle;
    list.query = {{"prefix", "J"}, {"max-keys", "2"}};
    QVERIFY(v4CanonicalRequest(list).find("\nmax-keys=2&prefix=J\n") != std::string::npos);
    QCOMPARE(v4Signature(secret, when, "us-east-1", v4CanonicalRequest(list)),
             std::string("34b48302e7b5fa45bde8084f4b7868a86f0a534bc59db6670ed5711ef69dc6f7"));
}

// A grant's token is signed into a presigned address; without one, no token parameter is sent.
void TestS3sign::presignedTokens()
{
    for (Version version : {Version::V2, Version::V4}) {
        const std::string plain = presignGet(version, "http://127.0.0.1:9000", "b", "dir/a b.txt", "KEY",
                                             "secret", "", "us-east-1", 1369353600, 60);
        const std::string withToken = presignGet(version, "http://127.0.0.1:9000", "b", "dir/a b.txt", "KEY",
                                                 "secret", "t/k+n", "us-east-1", 1369353600, 60);
        QVERIFY(plain.rfind("http://127.0.0.1:9000/b/dir/a%20b.txt?", 0) == 0);
        QVERIFY(QByteArray::fromStdString(plain).toLower().indexOf("security-token") < 0);
        QVERIFY(QByteArray::fromStdString(withToken).toLower().contains("security-token=t%2fk%2bn"));
        const auto signature = [](const std::string &url) {
            const size_t at = url.find("Signature=");
            return url.substr(at, url.find('&', at) - at);
        };
        QVERIFY(signature(plain) != signature(withToken));
    }
}

QTEST_GUILESS_MAIN(TestS3sign)
#include "test_s3sign.moc"
