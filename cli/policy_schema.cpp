#include "cli/gate_policy_args.h"

namespace certwright {

// docs/policy.schema.json, which the tests compare with this text.
std::string_view policy_schema() {
  return R"schema({
  "$schema": "https://json-schema.org/draft/2020-12/schema",
  "$id": "https://certwright.example/policy.schema.json",
  "title": "certwright-verify gate policy",
  "description": "What a release gate decides once for many runs. Paths are relative to the policy file. Options given beside --policy add to it and never loosen it.",
  "type": "object",
  "additionalProperties": false,
  "required": ["version"],
  "properties": {
    "version": {"const": 1},
    "expires": {
      "description": "An RFC 3339 date-time; past it the check `policy` fails.",
      "type": "string"
    },
    "public-keys": {
      "description": "Trusted operator keys, in any form --public-key takes.",
      "type": "array",
      "items": {"type": "string", "minLength": 1}
    },
    "public-key-files": {"$ref": "#/$defs/paths"},
    "allowed-signers-files": {"$ref": "#/$defs/paths"},
    "platform-keys-files": {"$ref": "#/$defs/paths"},
    "revoked-keys-files": {"$ref": "#/$defs/paths"},
    "tsa-certs-files": {"$ref": "#/$defs/paths"},
    "require-stages": {
      "type": "array",
      "items": {"type": "string", "minLength": 1}
    },
    "other-stages": {
      "description": "`forbid`: a certificate recording any stage not required fails `stage-policy`.",
      "enum": ["allow", "forbid"]
    },
    "forbid-skipped": {"type": "boolean"},
    "require-full-coverage": {"type": "boolean"},
    "require-countersign": {"type": "boolean"},
    "require-timestamp": {"type": "integer", "minimum": 0},
    "max-age": {
      "description": "A whole number and s, m, h or d, as --max-age takes it.",
      "type": "string",
      "pattern": "^[0-9]+[smhd]$"
    }
  },
  "$defs": {
    "paths": {
      "type": "array",
      "items": {"type": "string", "minLength": 1}
    }
  }
}
)schema";
}

}  // namespace certwright
