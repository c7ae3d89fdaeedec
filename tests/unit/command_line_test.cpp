#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace certwright {
namespace {

constexpr std::string_view usage_line = "Usage: certwright build-certificate [OPTIONS] <RUN_DIR>";

CommandLine parse_build_certificate(const std::vector<std::string_view>& arguments) {
  std::vector<std::string_view> argv = {"/usr/local/bin/certwright", "build-certificate"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return parse_command_line(argv);
}

auto fields(const BuildCertificateArgs& a) {
  return std::tie(a.run_dir, a.adapter, a.requirements_hash, a.business_docs, a.out, a.repo_root,
                  a.tenant_mode, a.signer_subject, a.signer_identity_provider, a.signer_session_id,
                  a.stage_ids, a.require_operator_key, a.corpus_attestation,
                  a.require_corpus_binding, a.sbom_dir, a.require_sbom_binding);
}

TEST(CommandLine, RunDirAloneLeavesEveryOptionAtItsDefault) {
  const CommandLine parsed = parse_build_certificate({"RUN"});
  ASSERT_TRUE(std::holds_alternative<BuildCertificateArgs>(parsed));
  const auto& args = std::get<BuildCertificateArgs>(parsed);
  EXPECT_EQ(args.run_dir, "RUN");
  EXPECT_EQ(args.adapter, "unknown");
  EXPECT_TRUE(args.business_docs.empty());
  EXPECT_FALSE(args.tenant_mode || args.require_operator_key || args.require_corpus_binding ||
               args.require_sbom_binding);
  EXPECT_FALSE(args.requirements_hash || args.out || args.repo_root || args.signer_subject ||
               args.signer_identity_provider || args.signer_session_id || args.stage_ids ||
               args.corpus_attestation || args.sbom_dir);
}

TEST(CommandLine, ParsesBuildCertificateArguments) {
  struct Case {
    std::vector<std::string_view> arguments;
    // Edits the expected record, which starts as the defaults with run_dir "RUN".
    void (*expect)(BuildCertificateArgs&);
  };
  const Case cases[] = {
      {{"RUN", "--business-docs", "a", "b"},
       [](BuildCertificateArgs& a) {
         a.business_docs = {"a", "b"};
       }},
      {{"RUN", "--business-docs", "a", "--business-docs=b"},
       [](BuildCertificateArgs& a) {
         a.business_docs = {"a", "b"};
       }},
      {{"--business-docs", "a", "--", "RUN"},
       [](BuildCertificateArgs& a) { a.business_docs = {"a"}; }},
      // A lone "-" is a value, not an option.
      {{"--adapter", "-", "--business-docs", "-", "a", "--tenant-mode", "RUN"},
       [](BuildCertificateArgs& a) {
         a.adapter = "-";
         a.business_docs = {"-", "a"};
         a.tenant_mode = true;
       }},
      {{"--adapter=", "RUN"}, [](BuildCertificateArgs& a) { a.adapter = ""; }},
      {{"--adapter=-x", "--out=a=b", "RUN"},
       [](BuildCertificateArgs& a) {
         a.adapter = "-x";
         a.out = "a=b";
       }},
      {{"--stage-ids", "auto", "RUN"}, [](BuildCertificateArgs& a) { a.stage_ids = "auto"; }},
      {{"RUN", "--stage-ids", " s1, s0 ,"},
       [](BuildCertificateArgs& a) { a.stage_ids = " s1, s0 ,"; }},
      {{"--", "-weird-dir"}, [](BuildCertificateArgs& a) { a.run_dir = "-weird-dir"; }},
      // Paths keep their bytes, valid UTF-8 or not.
      {{"R\xFF", "--out", "o\xFE", "--sbom-dir=s\xC0", "--business-docs", "d\xFD"},
       [](BuildCertificateArgs& a) {
         a.run_dir = "R\xFF";
         a.out = "o\xFE";
         a.sbom_dir = "s\xC0";
         a.business_docs = {"d\xFD"};
       }},
      // Every row lands in its own field.
      {{"--adapter",
        "ad",
        "--requirements-hash=rh",
        "--business-docs",
        "bd",
        "--out",
        "o",
        "--repo-root",
        "rr",
        "--tenant-mode",
        "--signer-subject",
        "ss",
        "--signer-identity-provider",
        "sip",
        "--signer-session-id",
        "sid",
        "--stage-ids",
        "s0",
        "--require-operator-key",
        "--corpus-attestation",
        "ca",
        "--require-corpus-binding",
        "--sbom-dir",
        "sd",
        "--require-sbom-binding",
        "RUN"},
       [](BuildCertificateArgs& a) {
         a.adapter = "ad";
         a.requirements_hash = "rh";
         a.business_docs = {"bd"};
         a.out = "o";
         a.repo_root = "rr";
         a.tenant_mode = true;
         a.signer_subject = "ss";
         a.signer_identity_provider = "sip";
         a.signer_session_id = "sid";
         a.stage_ids = "s0";
         a.require_operator_key = true;
         a.corpus_attestation = "ca";
         a.require_corpus_binding = true;
         a.sbom_dir = "sd";
         a.require_sbom_binding = true;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.arguments));
    BuildCertificateArgs expected;
    expected.run_dir = "RUN";
    c.expect(expected);
    const CommandLine parsed = parse_build_certificate(c.arguments);
    ASSERT_TRUE(std::holds_alternative<BuildCertificateArgs>(parsed))
        << std::get<UsageError>(parsed).text;
    EXPECT_EQ(fields(std::get<BuildCertificateArgs>(parsed)), fields(expected));
  }
}

TEST(CommandLine, RejectsMalformedBuildCertificateArguments) {
  struct Case {
    std::vector<std::string_view> arguments;
    std::string_view named;  // the argument the error line must name
  };
  const Case cases[] = {
      {{}, "<RUN_DIR>"},
      {{"--business-docs", "a", "b", "RUN"}, "<RUN_DIR>"},  // RUN becomes a third document
      {{"RUN", "OTHER"}, "'OTHER'"},
      {{"--business-docs", "a", "--", "RUN", "--tenant-mode"}, "'--tenant-mode'"},
      {{"--adapter", "x", "--adapter", "y", "RUN"}, "'--adapter <ADAPTER>'"},
      {{"--tenant-mode", "--tenant-mode", "RUN"}, "'--tenant-mode'"},
      {{"--tenant-mode=true", "RUN"}, "'--tenant-mode'"},
      {{"RUN", "--require-sbom-binding="}, "'--require-sbom-binding'"},
      {{"--adapter", "--tenant-mode", "RUN"}, "'--adapter <ADAPTER>'"},
      {{"RUN", "--out"}, "'--out <OUT>'"},
      {{"RUN", "--out="}, "'--out <OUT>' is empty"},
      {{"RUN", "--out", ""}, "'--out <OUT>' is empty"},
      {{"--business-docs", "--", "RUN"}, "'--business-docs <BUSINESS_DOCS>...'"},
      {{"RUN", "--business-docs", "a", "-x"}, "'-x'"},
      {{"--adapter", "a\xFF", "RUN"}, "'--adapter <ADAPTER>'"},
      {{"RUN", "--signer-subject=\xED\xA0\x80"}, "'--signer-subject <SIGNER_SUBJECT>'"},
      {{"--adapt", "x", "RUN"}, "'--adapt'"},
      {{"RUN", "--bogus=\xFF"}, "'--bogus=\xEF\xBF\xBD'"},
      {{"RUN", "--version"}, "'--version'"},
      {{"RUN", "-V"}, "'-V'"},
      {{"RUN", "--help=yes"}, "'--help'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.arguments));
    const CommandLine parsed = parse_build_certificate(c.arguments);
    ASSERT_TRUE(std::holds_alternative<UsageError>(parsed));
    const std::string& text = std::get<UsageError>(parsed).text;
    const std::string error_line = text.substr(0, text.find('\n'));
    EXPECT_TRUE(error_line.starts_with("error: ")) << text;
    EXPECT_NE(error_line.find(c.named), std::string::npos) << text;
    EXPECT_NE(text.find(std::string("\n\n").append(usage_line).append("\n\n")), std::string::npos)
        << text;
    EXPECT_TRUE(text.ends_with("For more information, try '--help'.\n")) << text;
  }
}

TEST(CommandLine, HelpWinsWhereverItStandsBeforeAnError) {
  for (const auto& arguments : std::vector<std::vector<std::string_view>>{
           {"--help"}, {"RUN", "-h"}, {"--business-docs", "a", "--help", "--bogus"}}) {
    const CommandLine parsed = parse_build_certificate(arguments);
    ASSERT_TRUE(std::holds_alternative<HelpText>(parsed));
    EXPECT_NE(std::get<HelpText>(parsed).text.find(usage_line), std::string::npos);
  }
  // After "--" it is only a run directory.
  const CommandLine parsed = parse_build_certificate({"--", "--help"});
  ASSERT_TRUE(std::holds_alternative<BuildCertificateArgs>(parsed));
  EXPECT_EQ(std::get<BuildCertificateArgs>(parsed).run_dir, "--help");
}

TEST(CommandLine, VerifyAndKeygenUseTheSameParserWithTheirOwnTables) {
  const std::string key = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";
  const std::vector<std::string_view> verify_argv = {
      "certwright-verify", "--public-key",      key, "-q", "CERT", "--business-docs", "a", "b",
      "--format=json",     "--public-key-file", "k"};
  const auto verify = parse_verify_command_line(verify_argv);
  ASSERT_TRUE(std::holds_alternative<VerifyArgs>(verify)) << std::get<UsageError>(verify).text;
  const auto& args = std::get<VerifyArgs>(verify);
  EXPECT_EQ(args.certificate, "CERT");
  EXPECT_EQ(args.public_keys, std::vector<std::string>{key});
  EXPECT_EQ(args.public_key_files, std::vector<std::string>{"k"});
  EXPECT_EQ(args.business_docs, (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(args.quiet);
  EXPECT_EQ(args.format, "json");

  struct Case {
    std::vector<std::string_view> argv;
    std::string_view file;  // the value --public stores
  };
  for (const Case& c : std::vector<Case>{{{"certwright-keygen", "--public"}, ""},
                                         {{"certwright-keygen", "--public", "seed"}, "seed"},
                                         {{"certwright-keygen", "--public=seed"}, "seed"}}) {
    const auto keygen = parse_keygen_command_line(c.argv);
    ASSERT_TRUE(std::holds_alternative<KeygenArgs>(keygen)) << std::get<UsageError>(keygen).text;
    EXPECT_EQ(std::get<KeygenArgs>(keygen).public_key_of, std::optional<std::string>(c.file));
  }
  // The emitter's options are not the verifier's, nor is its subcommand.
  EXPECT_TRUE(std::holds_alternative<UsageError>(parse_verify_command_line(
      std::vector<std::string_view>{"certwright-verify", "build-certificate", "--adapter", "x"})));
  EXPECT_TRUE(std::holds_alternative<VersionText>(
      parse_keygen_command_line(std::vector<std::string_view>{"certwright-keygen", "-V"})));
}

}  // namespace
}  // namespace certwright
