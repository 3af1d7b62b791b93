#include "http/uri.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

namespace qs {
namespace {

std::string shown(const std::optional<std::string_view>& part) {
    return part ? "[" + std::string(*part) + "]" : "-";
}

// Every component in one line: present texts in brackets, absent ones as "-".
std::string describe(const Uri& uri) {
    return "[" + std::string(uri.scheme) + "] " + shown(uri.user) + " " + shown(uri.password) +
           " " + shown(uri.host) + " " + (uri.port ? std::to_string(*uri.port) : "-") + " [" +
           std::string(uri.path) + "] " + shown(uri.query) + " " + shown(uri.fragment);
}

// Recomposition in the manner of RFC 3986 section 5.3.
std::string recompose(const Uri& uri) {
    std::string text;
    if (!uri.scheme.empty()) text += std::string(uri.scheme) + ":";
    if (uri.host) {
        text += "//";
        if (uri.user) {
            text += *uri.user;
            if (uri.password) text += ":" + std::string(*uri.password);
            text += "@";
        }
        text += *uri.host;
        if (uri.port) text += ":" + std::to_string(*uri.port);
    }
    text += uri.path;
    if (uri.query) text += "?" + std::string(*uri.query);
    if (uri.fragment) text += "#" + std::string(*uri.fragment);
    return text;
}

std::string joined(const TextPieces& pieces) {
    std::string text;
    for (std::size_t i = 0; i < pieces.count(); ++i) text += pieces[i];
    EXPECT_EQ(text.size(), pieces.length());
    return text;
}

struct ParseCase {
    std::string_view text;
    std::string_view components;  // describe() of the result, or empty when it fails
    Error error = Error::Unexpected;
};

TEST(ParseUri, ComponentsAndErrors) {
    const ParseCase cases[] = {
        {"https://h", "[https] - - [h] - [] - -"},
        {"http://h/a/../b?x=1#top", "[http] - - [h] - [/a/../b] [x=1] [top]"},
        // Capitals parse; only the protocol table refuses them.
        {"HTTP://H/", "[HTTP] - - [H] - [/] - -"},
        {"1a+b-c.d:rest", "[1a+b-c.d] - - - - [rest] - -"},
        {"mailto:x@y", "[mailto] - - - - [x@y] - -"},
        {":nothing", "[] - - - - [nothing] - -"},
        {"", "", Error::InvalidFormat},
        {"http", "", Error::InvalidFormat},
        {"ht tp://h/", "", Error::UnexpectedCharacter},
        {"/just/a/path", "", Error::UnexpectedCharacter},
        {"?q", "", Error::UnexpectedCharacter},
        // Authority edge cases.
        {"http:///x", "[http] - - - - [/x] - -"},
        {"http://", "", Error::InvalidFormat},
        {"http://?q", "", Error::InvalidFormat},
        {"http://#f", "", Error::InvalidFormat},
        {"http:/x", "[http] - - - - [/x] - -"},
        // User information.
        {"http://u:p@h/", "[http] [u] [p] [h] - [/] - -"},
        {"http://u:p:q@h/", "[http] [u] [p:q] [h] - [/] - -"},
        // The first "@" splits; what is left, "b@h", is no host name.
        {"https://a@b@h/", "", Error::UriHostInvalid},
        {"http://u:@h/", "[http] [u] - [h] - [/] - -"},
        {"http://@h/", "[http] [] - [h] - [/] - -"},
        {"http://:p@h/", "[http] [] [p] [h] - [/] - -"},
        {"http://user@", "[http] [user] - - - [] - -"},
        {"http://u:p@h:81", "[http] [u] [p] [h] 81 [] - -"},
        // Ports.
        {"http://h:65535/", "[http] - - [h] 65535 [/] - -"},
        {"http://h:0/", "[http] - - [h] 0 [/] - -"},
        {"http://h:0080/", "[http] - - [h] 80 [/] - -"},
        {"http://h:65536/", "", Error::InvalidPort},
        {"http://h:99999999999999999999999/", "", Error::InvalidPort},
        {"http://h:+80/", "", Error::InvalidPort},
        {"http://h:-1/", "", Error::InvalidPort},
        {"http://h:8_0/", "", Error::InvalidPort},
        {"http://h: 80/", "", Error::InvalidPort},
        {"http://h:/", "", Error::InvalidPort},
        // The last ":" starts the port; a ":" left in a name is no host name.
        {"http://h:80:81/", "", Error::UriHostInvalid},
        {"http://:80/", "", Error::InvalidFormat},
        {"http://u@:80/", "", Error::InvalidFormat},
        // IPv6 literals keep their brackets.
        {"http://[::1]:8080/p", "[http] - - [[::1]] 8080 [/p] - -"},
        {"http://[::1]/", "[http] - - [[::1]] - [/] - -"},
        {"http://u:p@[fe80::1%25eth0]:9", "[http] [u] [p] [[fe80::1%25eth0]] 9 [] - -"},
        {"http://[::1/", "", Error::InvalidFormat},
        {"http://]x/", "", Error::InvalidFormat},
        {"http://[::1]:/", "", Error::InvalidPort},
        {"http://[::1]:x/", "", Error::InvalidPort},
        // Query and fragment split at the first "?" and the first "#" after it.
        {"http://h?q", "[http] - - [h] - [] [q] -"},
        {"http://h#f", "[http] - - [h] - [] - [f]"},
        {"http://h/p?", "[http] - - [h] - [/p] [] -"},
        {"http://h/p?a=1?b#f#g", "[http] - - [h] - [/p] [a=1?b] [f#g]"},
        {"http://h/p#f?not-a-query", "[http] - - [h] - [/p] - [f?not-a-query]"},
        // Nothing else is refused or decoded.
        {"http://h/a b/%zz\xff", "[http] - - [h] - [/a b/%zz\xff] - -"},
        {"http://ho%73t/", "[http] - - [ho%73t] - [/] - -"},
        // Except in the host: the decoded name goes into CONNECT lines, the
        // resolver and the handshake, so it holds host name bytes only.
        {"https://evil%0D%0AX-Injected%3A%20yes/", "", Error::UriHostInvalid},
        {"http://a%0Ab/", "", Error::UriHostInvalid},
        {"http://a%0db/", "", Error::UriHostInvalid},
        {"http://a%00b/", "", Error::UriHostInvalid},
        {"http://a%20b/", "", Error::UriHostInvalid},
        {"http://a b/", "", Error::UriHostInvalid},
        {"http://a\tb/", "", Error::UriHostInvalid},
        {"http://a%7Fb/", "", Error::UriHostInvalid},
        {"http://a%2Fb/", "", Error::UriHostInvalid},
        {"http://a%40b/", "", Error::UriHostInvalid},
        {"http://a%3A1/", "", Error::UriHostInvalid},
        {"http://h\xc3\xa9/", "", Error::UriHostInvalid},
        {"http://h%C3%A9/", "", Error::UriHostInvalid},
        {"http://[::1%0D%0Ax]/", "", Error::UriHostInvalid},
        {"http://[::1]x]/", "", Error::UriHostInvalid},
        {"http://Host-1.example_2.org/", "[http] - - [Host-1.example_2.org] - [/] - -"},
        {"http://a%zz%4%/", "[http] - - [a%zz%4%] - [/] - -"},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.text);
        const Result<Uri> uri = parseUri(c.text);
        if (c.components.empty()) {
            ASSERT_FALSE(uri) << describe(*uri);
            EXPECT_EQ(errorName(uri.error()), errorName(c.error));
        } else {
            ASSERT_TRUE(uri) << errorName(uri.error());
            EXPECT_EQ(describe(*uri), c.components);
        }
    }
}

TEST(ParseUri, SchemelessReferences) {
    const ParseCase cases[] = {
        {"//h:1/p?q#f", "[] - - [h] 1 [/p] [q] [f]"},
        {"g", "[] - - - - [g] - -"},
        {"", "[] - - - - [] - -"},
        {"?y", "[] - - - - [] [y] -"},
        {"#s", "[] - - - - [] - [s]"},
        {"a:b", "[] - - - - [a:b] - -"},
        {"//", "", Error::InvalidFormat},
        {"//a%0D%0Ab/x", "", Error::UriHostInvalid},
        {"//h:x/", "", Error::InvalidPort},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.text);
        const Result<Uri> uri = parseSchemelessUri(c.text);
        if (c.components.empty()) {
            ASSERT_FALSE(uri);
            EXPECT_EQ(errorName(uri.error()), errorName(c.error));
        } else {
            ASSERT_TRUE(uri) << errorName(uri.error());
            EXPECT_EQ(describe(*uri), c.components);
        }
    }
}

TEST(Uri, ProtocolAndPort) {
    struct Case {
        std::string_view url;
        std::optional<Protocol> protocol;
        std::uint16_t port;
    };
    const Case cases[] = {
        {"http://h/", Protocol::plain, 80},     {"ws://h/", Protocol::plain, 80},
        {"https://h/", Protocol::tls, 443},     {"wss://h/", Protocol::tls, 443},
        {"https://h:8443/", Protocol::tls, 8443}, {"http://h:443/", Protocol::plain, 443},
        {"HTTPS://h/", std::nullopt, 0},        {"Http://h/", std::nullopt, 0},
        {"ftp://h/", std::nullopt, 0},          {"httpx://h/", std::nullopt, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        const Uri uri = *parseUri(c.url);
        EXPECT_EQ(protocolOf(uri), c.protocol);
        if (c.protocol) {
            EXPECT_EQ(connectPort(uri, *c.protocol), c.port);
        }
    }
    EXPECT_EQ(defaultPort(Protocol::plain), 80);
    EXPECT_EQ(defaultPort(Protocol::tls), 443);
}

TEST(Uri, ConnectHostDecodesAndLimitsTheName) {
    struct Case {
        std::string url;
        std::string host;  // empty when it fails
        Error error = Error::Unexpected;
    };
    const std::string long_name(255, 'a');
    const std::vector<Case> cases = {
        {"http://example.org/", "example.org"},
        {"http://ho%73t/", "host"},
        {"http://%41%4a%4A%7e/", "AJJ~"},
        // A "%" without two hexadecimal digits after it stays.
        {"http://a%zz%4%/", "a%zz%4%"},
        {"http://a%4g%41/", "a%4gA"},
        {"http://[::1]:8080/", "::1"},
        {"http://[fe80::1%25eth0]/", "fe80::1%eth0"},
        {"http://" + long_name + "/", long_name},
        {"http://" + long_name + "a/", "", Error::UriHostTooLong},
        // The limit applies to the decoded name: 257 bytes written, 255 meant.
        {"http://" + std::string(254, 'a') + "%41/", std::string(254, 'a') + "A"},
        {"http://" + std::string(255, 'a') + "%41/", "", Error::UriHostTooLong},
        {"http://" + std::string(300, '%') + "/", "", Error::UriHostTooLong},
        {"http:///path", "", Error::UriMissingHost},
        {"http://user@", "", Error::UriMissingHost},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        const Uri uri = *parseUri(c.url);
        HostBuffer buffer{};
        const Result<std::string_view> host = connectHost(uri, buffer);
        if (c.host.empty()) {
            ASSERT_FALSE(host);
            EXPECT_EQ(errorName(host.error()), errorName(c.error));
        } else {
            ASSERT_TRUE(host) << errorName(host.error());
            EXPECT_EQ(*host, c.host);
        }
    }
}

TEST(Uri, RequestTargetAndHostAuthority) {
    struct Case {
        std::string_view url;
        std::string_view target;
        std::string_view authority;
    };
    const Case cases[] = {
        {"https://h", "/", "h"},
        {"https://h:443/", "/", "h:443"},
        {"http://h:0080/x", "/x", "h:80"},
        {"http://h/p?q=1#frag", "/p?q=1", "h"},
        {"http://h?x", "/?x", "h"},
        {"http://h/p?", "/p?", "h"},
        {"http://h/a/../b", "/a/../b", "h"},
        {"http://h/a%20b/", "/a%20b/", "h"},
        {"http://[::1]:8080/p", "/p", "[::1]:8080"},
        {"http://ho%73t:65535/", "/", "ho%73t:65535"},
        {"http://u:p@h:1/", "/", "h:1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        const Uri uri = *parseUri(c.url);
        EXPECT_EQ(joined(requestTarget(uri)), c.target);
        const TextPieces authority = hostAuthority(uri);
        const TextPieces copy = authority;  // port digits travel with the copy
        EXPECT_EQ(joined(copy), c.authority);
    }
}

TEST(Uri, ComposeUrlWritesThePartsAsWritten) {
    struct Case {
        std::string_view url;
        std::string_view composed;
    };
    const Case cases[] = {
        {"http://h", "http://h/"},
        {"https://h:0443/a/../b?q=1#frag", "https://h:443/a/../b?q=1"},
        {"http://u:p@h:1/x", "http://u:p@h:1/x"},
        {"http://u@h/", "http://u@h/"},
        {"http://u:@h/", "http://u@h/"},
        {"http://@h/", "http://@h/"},
        {"http://:p@h/", "http://:p@h/"},
        {"http://[::1]:8080/a%20b/", "http://[::1]:8080/a%20b/"},
        {"http://ho%73t/?", "http://ho%73t/?"},
        {"file:///etc/x", "file:///etc/x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(composeUrl(*parseUri(c.url)), c.composed);
    }
}

std::string base64(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

TEST(Uri, BasicCredentials) {
    struct Case {
        std::string url;
        std::string joined;  // what goes into base64
    };
    const std::vector<Case> cases = {
        {"http://Aladdin:open%20sesame@h/", "Aladdin:open%20sesame"},
        {"http://u:p:q@h/", "u:p:q"},
        {"http://u:@h/", "u:"},
        {"http://user@h/", "user:"},
        {"http://@h/", ":"},
        {"http://:pw@h/", ":pw"},
        // Escapes are not decoded: the server sees them as written.
        {"http://a%40b:p%3Aq%2f@h/", "a%40b:p%3Aq%2f"},
        {"http://%E2%82%AC:%zz%4@h/", "%E2%82%AC:%zz%4"},
        // Each padding length.
        {"http://a:@h/", "a:"},
        {"http://ab:@h/", "ab:"},
        {"http://abc:@h/", "abc:"},
        {"http://" + std::string(255, 'u') + ":" + std::string(255, 'p') + "@h/",
         std::string(255, 'u') + ":" + std::string(255, 'p')},
        // Beyond 511 bytes the joined text is cut.
        {"http://" + std::string(300, 'u') + ":" + std::string(300, 'p') + "@h/",
         std::string(300, 'u') + ":" + std::string(210, 'p')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url.substr(0, 40));
        const Uri uri = *parseUri(c.url);
        EXPECT_EQ(basicCredentials(uri).text(), "Basic " + base64(c.joined));
    }
    EXPECT_EQ(basicCredentials(*parseUri("http://Aladdin:open sesame@h/")).text(),
              "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
}

TEST(Uri, RemoveDotSegments) {
    struct Case {
        std::string_view path;
        std::string_view result;
    };
    const Case cases[] = {
        {"/a/b/c/./../../g", "/a/g"},
        {"mid/content=5/../6", "mid/6"},
        {"", ""},
        {".", ""},
        {"..", ""},
        {"/", "/"},
        {"/.", "/"},
        {"/..", "/"},
        {"/../..", "/"},
        {"/a/..", "/"},
        {"/a/.", "/a/"},
        {"/a/b/..", "/a/"},
        {"../a", "a"},
        {"./a", "a"},
        {"a/../../b", "/b"},
        {"//a//../b", "//a/b"},
        {"/a/...", "/a/..."},
        {"/a/.b/..c/", "/a/.b/..c/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::string buffer(c.path);
        buffer += "TAIL";  // bytes after the path stay untouched
        const std::size_t n = removeDotSegments(std::span<char>(buffer.data(), c.path.size()));
        EXPECT_EQ(buffer.substr(0, n), c.result);
        EXPECT_EQ(buffer.substr(c.path.size()), "TAIL");
    }
}

struct Resolved {
    Result<Uri> uri;
    std::string text;
};

// The reference is copied to the front of `scratch` the way redirect
// handling copies a location, and the rest serves as scratch space.
Resolved resolveIn(std::span<char>& scratch, const Uri& base, std::string_view reference) {
    if (reference.size() > scratch.size()) return {std::unexpected(Error::NoSpaceLeft), ""};
    std::copy(reference.begin(), reference.end(), scratch.begin());
    const std::span<char> copy = scratch.first(reference.size());
    scratch = scratch.subspan(reference.size());
    Result<Uri> uri = resolveReference(base, copy, scratch);
    return {uri, uri ? recompose(*uri) : std::string()};
}

TEST(ResolveReference, Rfc3986Examples) {
    struct Case {
        std::string_view reference;
        std::string_view result;
    };
    const Case cases[] = {
        // Normal examples.
        {"g:h", "g:h"},
        {"g", "http://a/b/c/g"},
        {"./g", "http://a/b/c/g"},
        {"g/", "http://a/b/c/g/"},
        {"/g", "http://a/g"},
        {"//g", "http://g"},
        {"?y", "http://a/b/c/d;p?y"},
        {"g?y", "http://a/b/c/g?y"},
        {"#s", "http://a/b/c/d;p?q#s"},
        {"g#s", "http://a/b/c/g#s"},
        {"g?y#s", "http://a/b/c/g?y#s"},
        {";x", "http://a/b/c/;x"},
        {"g;x", "http://a/b/c/g;x"},
        {"g;x?y#s", "http://a/b/c/g;x?y#s"},
        {"", "http://a/b/c/d;p?q"},
        {".", "http://a/b/c/"},
        {"./", "http://a/b/c/"},
        {"..", "http://a/b/"},
        {"../", "http://a/b/"},
        {"../g", "http://a/b/g"},
        {"../..", "http://a/"},
        {"../../", "http://a/"},
        {"../../g", "http://a/g"},
        // Abnormal examples.
        {"../../../g", "http://a/g"},
        {"../../../../g", "http://a/g"},
        {"/./g", "http://a/g"},
        {"/../g", "http://a/g"},
        {"g.", "http://a/b/c/g."},
        {".g", "http://a/b/c/.g"},
        {"g..", "http://a/b/c/g.."},
        {"..g", "http://a/b/c/..g"},
        {"./../g", "http://a/b/g"},
        {"./g/.", "http://a/b/c/g/"},
        {"g/./h", "http://a/b/c/g/h"},
        {"g/../h", "http://a/b/c/h"},
        {"g;x=1/./y", "http://a/b/c/g;x=1/y"},
        {"g;x=1/../y", "http://a/b/c/y"},
        {"g?y/./x", "http://a/b/c/g?y/./x"},
        {"g?y/../x", "http://a/b/c/g?y/../x"},
        {"g#s/./x", "http://a/b/c/g#s/./x"},
        {"g#s/../x", "http://a/b/c/g#s/../x"},
        {"http:g", "http:g"},
    };
    const std::string base_text = "http://a/b/c/d;p?q";
    const Uri base = *parseUri(base_text);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reference);
        std::vector<char> buffer(8192);
        std::span<char> scratch(buffer);
        const Resolved r = resolveIn(scratch, base, c.reference);
        ASSERT_TRUE(r.uri) << errorName(r.uri.error());
        EXPECT_EQ(r.text, c.result);
    }
}

TEST(ResolveReference, KeepsWhatTheReferenceDoesNotName) {
    struct Case {
        std::string_view base;
        std::string_view reference;
        std::string_view result;
    };
    const Case cases[] = {
        {"https://h/a/b/x?old", "../c", "https://h/a/c"},
        {"https://h/a/b/x?old", "?q=1", "https://h/a/b/x?q=1"},
        {"https://h/a/b/x?old", "//other/p", "https://other/p"},
        {"https://h/a/b/x?old#f", "", "https://h/a/b/x?old"},
        {"https://h/a/b", "/new", "https://h/new"},
        {"https://h/a/b", "x", "https://h/a/x"},
        // User information and port come from the base for a path reference,
        // from the reference when it names a host.
        {"http://u:p@h:8080/a/b", "c?z", "http://u:p@h:8080/a/c?z"},
        {"http://u:p@h:8080/a/b", "//v@g:81/./x/../y", "http://v@g:81/y"},
        {"http://h:8080/a", "https://H:1/a/./b/../c?q#f", "https://H:1/a/c?q#f"},
        // An empty base path merges as "/".
        {"http://h", "x/./y", "http://h/x/y"},
        {"http://h?q", "", "http://h?q"},
        // A base path without "/" keeps nothing of itself.
        {"foo:bar", "baz/../qux", "foo:/qux"},
        {"http://h/a/b", "../../../../x", "http://h/x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.base) + " + " + std::string(c.reference));
        const std::string base_text(c.base);
        const Uri base = *parseUri(base_text);
        std::vector<char> buffer(8192);
        std::span<char> scratch(buffer);
        const Resolved r = resolveIn(scratch, base, c.reference);
        ASSERT_TRUE(r.uri) << errorName(r.uri.error());
        EXPECT_EQ(r.text, c.result);
    }
}

TEST(ResolveReference, ParseErrors) {
    struct Case {
        std::string_view reference;
        Error error;
    };
    const Case cases[] = {
        {"http://[::1/", Error::InvalidFormat},
        {"http://h:99999/", Error::InvalidPort},
        {"https://", Error::InvalidFormat},
        // No scheme: the first attempt's error is the one reported.
        {"//h:99999/", Error::UnexpectedCharacter},
        {"//", Error::UnexpectedCharacter},
    };
    const std::string base_text = "http://a/b/c";
    const Uri base = *parseUri(base_text);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reference);
        std::vector<char> buffer(8192);
        std::span<char> scratch(buffer);
        const Resolved r = resolveIn(scratch, base, c.reference);
        ASSERT_FALSE(r.uri) << r.text;
        EXPECT_EQ(errorName(r.uri.error()), errorName(c.error));
    }
}

TEST(ResolveReference, MergedPathMustFitTheScratchSpace) {
    const std::string base_text = "http://h/" + std::string(100, 'd') + "/file";
    const Uri base = *parseUri(base_text);
    // The merge writes "/ddd...d" (101 bytes), "/" and the reference.
    const std::string reference = "x";
    for (const std::size_t room : {std::size_t{103}, std::size_t{102}}) {
        SCOPED_TRACE(room);
        std::string ref_copy = reference;
        std::vector<char> scratch_bytes(room);
        std::span<char> scratch(scratch_bytes);
        const Result<Uri> r = resolveReference(base, ref_copy, scratch);
        if (room == 103) {
            ASSERT_TRUE(r);
            EXPECT_EQ(r->path, "/" + std::string(100, 'd') + "/x");
            EXPECT_TRUE(scratch.empty());
        } else {
            ASSERT_FALSE(r);
            EXPECT_EQ(r.error(), Error::NoSpaceLeft);
            EXPECT_EQ(scratch.size(), room);  // nothing consumed
        }
    }
}

TEST(ResolveReference, ChainedRedirectsShareOneBuffer) {
    // Three redirects in one 8192-byte buffer: each location copy and merged
    // path stays put while later ones are written after it.
    const std::string url = "https://h/a/b/c";
    std::vector<char> buffer(8192);
    std::span<char> scratch(buffer);
    Uri current = *parseUri(url);
    const std::string_view locations[] = {"x/../y/z", "../w?k=v", std::string_view("//g/p/./q")};
    const std::string_view expected[] = {"https://h/a/b/y/z", "https://h/a/b/w?k=v",
                                         "https://g/p/q"};
    std::vector<Uri> seen;
    for (std::size_t i = 0; i < 3; ++i) {
        const Resolved r = resolveIn(scratch, current, locations[i]);
        ASSERT_TRUE(r.uri);
        EXPECT_EQ(r.text, expected[i]);
        current = *r.uri;
        seen.push_back(current);
    }
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(recompose(seen[i]), expected[i]);

    // A location filling the rest of the buffer leaves no room for its merge.
    const std::string huge(scratch.size(), 'm');
    const Resolved r = resolveIn(scratch, current, huge);
    ASSERT_FALSE(r.uri);
    EXPECT_EQ(r.uri.error(), Error::NoSpaceLeft);
}

TEST(ResolveReference, EightKilobyteScratchLimit) {
    // A base path of 8000 bytes plus "/" plus the reference: 8192 fits, 8193 does not.
    const std::string base_text = "http://h/" + std::string(7999, 'p') + "/last";
    const Uri base = *parseUri(base_text);
    for (const std::size_t reference_length : {std::size_t{191}, std::size_t{192}}) {
        SCOPED_TRACE(reference_length);
        std::string reference(reference_length, 'r');
        std::vector<char> scratch_bytes(8192);
        std::span<char> scratch(scratch_bytes);
        const Result<Uri> r = resolveReference(base, reference, scratch);
        if (reference_length == 191) {
            ASSERT_TRUE(r) << errorName(r.error());
            EXPECT_EQ(r->path.size(), 8192u);
        } else {
            ASSERT_FALSE(r);
            EXPECT_EQ(r.error(), Error::NoSpaceLeft);
        }
    }
}

}  // namespace
}  // namespace qs
