#include "core/evidence/corpus_attestation.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "core/base/content_hash.h"

namespace certwright {
namespace {

constexpr std::string_view kAttestation =
    R"({"schemaVersion":"1","tool":{"name":"varrow","version":"0.4.2"},)"
    R"("inputsManifestHash":"im","registryHash":"rh",)"
    R"("verdicts":{"compile":{"ok":true},"lint":{"ok":false,"findingsHash":"fh"}}})";

// kAttestation with the first occurrence of `from` replaced by `to`.
std::string with(std::string_view from, std::string_view to) {
  std::string text(kAttestation);
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return text.replace(at, from.size(), to);
}

// Written out by hand: the pretty layout with byte-wise sorted keys and one final line feed.
constexpr std::string_view kCanonicalWithoutCouple = R"({
  "inputsManifestHash": "im",
  "registryHash": "rh",
  "schemaVersion": "1",
  "tool": {
    "name": "varrow",
    "version": "0.4.2"
  },
  "verdicts": {
    "compile": {
      "ok": true
    },
    "lint": {
      "findingsHash": "fh",
      "ok": false
    }
  }
}
)";

constexpr std::string_view kCanonicalWithCouple = R"({
  "inputsManifestHash": "im",
  "registryHash": "rh",
  "schemaVersion": "1\"\u0001é",
  "tool": {
    "name": "varrow",
    "version": "0.4.2"
  },
  "verdicts": {
    "compile": {
      "ok": true
    },
    "couple": {
      "indexHash": "ih",
      "joinHash": "j/h",
      "ok": false
    },
    "lint": {
      "findingsHash": "fh",
      "ok": false
    }
  }
}
)";

std::string hash_of(std::string_view text) {
  const auto attestation = parse_corpus_attestation(text);
  if (!attestation) return "parse failed: " + attestation.error().message;
  const auto hash = attestation_hash(*attestation);
  return hash ? *hash : "hash failed: " + hash.error().message;
}

TEST(AttestationHash, IsTheHashOfTheCanonicalTextWhateverTheFileLayout) {
  struct Case {
    std::string name;
    std::string text;
    std::string_view canonical;
  };
  const Case cases[] = {
      {"compact", std::string(kAttestation), kCanonicalWithoutCouple},
      {"couple null", with(R"("lint")", R"("couple":null,"lint")"), kCanonicalWithoutCouple},
      {"the canonical text itself", std::string(kCanonicalWithoutCouple), kCanonicalWithoutCouple},
      {"reordered, spaced, extra keys", R"(
        { "verdicts" : { "lint" : { "findingsHash" : "fh" , "ok" : false, "x": [1, {"y": null}] },
                         "compile" : { "extra": -1.5e3, "ok" : true } },
          "registryHash" : "rh", "comment": "ignored", "comment": "twice",
          "tool" : { "version" : "0.4.2", "name" : "varrow", "build": {} },
          "inputsManifestHash" : "im", "schemaVersion" : "1" }
      )",
       kCanonicalWithoutCouple},
      // Escapes in the file are decoded; the canonical text escapes only what it must.
      {"couple, escapes",
       R"({"verdicts":{"compile":{"ok":true},"couple":{"joinHash":"j\/h","ok":false,)"
       R"("indexHash":"ih"},"lint":{"ok":false,"findingsHash":"fh"}},)"
       R"("schemaVersion":"1\"\u0001\u00e9","tool":{"name":"varrow","version":"0.4.2"},)"
       R"("inputsManifestHash":"im","registryHash":"rh"})",
       kCanonicalWithCouple},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hash_of(c.text), hash_bytes(c.canonical)) << c.name;
  }
}

TEST(ParseCorpusAttestation, IsStrictAboutListedKeysAndLenientAboutOthers) {
  struct Case {
    std::string name;
    std::string text;
    std::string error;  // empty: the text parses
  };
  const Case cases[] = {
      {"listed key twice", with(R"("version":"0.4.2")", R"("version":"0.4.2","version":"0.4.2")"),
       "duplicate field `version`"},
      {"listed key twice, once null", with(R"("lint")", R"("couple":null,"couple":null,"lint")"),
       "duplicate field `couple`"},
      {"missing key", with(R"("inputsManifestHash":"im",)", ""),
       "missing field `inputsManifestHash`"},
      {"missing nested key", with(R"("ok":false,)", ""), "missing field `ok`"},
      {"number for a string", with(R"("schemaVersion":"1")", R"("schemaVersion":1)"),
       "invalid type for `schemaVersion`: expected a string"},
      {"string for a boolean", with(R"({"ok":true})", R"({"ok":"true"})"),
       "invalid type for `ok`: expected a boolean"},
      {"null for a string", with(R"("registryHash":"rh")", R"("registryHash":null)"),
       "invalid type for `registryHash`: expected a string"},
      {"array for a record", with(R"("tool":{"name":"varrow","version":"0.4.2"})", R"("tool":[])"),
       "invalid type for `tool`: expected an object"},
      {"couple not an object", with(R"("lint")", R"("couple":false,"lint")"),
       "invalid type for `couple`: expected an object"},
      {"couple missing a key", with(R"("lint")", R"("couple":{"ok":true,"joinHash":"j"},"lint")"),
       "missing field `indexHash`"},
      {"not an object", "[]", "invalid type: expected an object"},
      {"trailing garbage", std::string(kAttestation) + " x", "invalid JSON: "},
      {"second document", std::string(kAttestation) + "{}", "invalid JSON: "},
      {"not JSON", "", "invalid JSON: "},
      {"nesting too deep",
       with(R"("rh")", R"("rh","deep":)" + std::string(5000, '[') + std::string(5000, ']')),
       "invalid JSON: "},
      {"trailing white space", std::string(kAttestation) + " \n\t\r\n", ""},
      {"unknown keys twice at every level",
       with(R"({"ok":true})", R"({"x":1,"ok":true,"x":2})").replace(1, 0, R"("y":0,"y":{},)"), ""},
      {"couple null", with(R"("lint")", R"("couple":null,"lint")"), ""},
      // RFC 8259 bounds no number: values the DOM parser cannot hold, under ignored keys.
      {"huge numbers under ignored keys at every level",
       with(R"({"ok":true})", R"({"ok":true,"big":18446744073709551616})")
           .replace(1, 0,
                    R"("extra":1e400,"x":[-9223372036854775809,{"y":-1e-400}],"z":123456789)"
                    R"(012345678901234567890,)"),
       ""},
      {"huge number for a string", with(R"("schemaVersion":"1")", R"("schemaVersion":1e400)"),
       "invalid type for `schemaVersion`: expected a string"},
      {"huge numbers, malformed number", with(R"("rh")", R"("rh","a":1e400,"b":01)"),
       "invalid JSON: "},
      {"huge numbers, trailing garbage", with(R"("rh")", R"("rh","a":1e400)") + " x",
       "invalid JSON: "},
      {"scalar document", "\"text\"", "invalid type: expected an object"},
      {"bad scalar document", "nul", "invalid JSON: "},
  };
  for (const Case& c : cases) {
    const auto attestation = parse_corpus_attestation(c.text);
    if (c.error.empty()) {
      EXPECT_TRUE(attestation.has_value()) << c.name << ": " << attestation.error().message;
    } else {
      ASSERT_FALSE(attestation.has_value()) << c.name;
      // The parser's own message follows the "invalid JSON: " prefix.
      EXPECT_TRUE(attestation.error().message.starts_with(c.error))
          << c.name << ": " << attestation.error().message;
    }
  }
}

TEST(AttestationHash, IgnoresNumbersUnderUnlistedKeys) {
  const auto plain = parse_corpus_attestation(kAttestation);
  const auto huge = parse_corpus_attestation(
      with(R"("rh")", R"("rh","extra":18446744073709551616,"more":[1e400])"));
  ASSERT_TRUE(plain.has_value() && huge.has_value());
  EXPECT_EQ(attestation_hash(*huge).value(), attestation_hash(*plain).value());
  EXPECT_EQ(huge->registry_hash, "rh");
}

TEST(AttestationHash, FailsForAFieldThatIsNotUtf8) {
  CorpusAttestation attestation;
  attestation.tool.name = "\xff";
  const auto hash = attestation_hash(attestation);
  ASSERT_FALSE(hash.has_value());
  EXPECT_EQ(hash.error().message, "a field of the attestation is not valid UTF-8");
}

}  // namespace
}  // namespace certwright
