// node .ci/validate-sbom.mjs <node_modules folder> <bill of materials>...
// Checks CycloneDX 1.6 JSON with the CycloneDX reference library's strict
// validator (its JSON schema, formats included); exits 1 on any finding.
import { createRequire } from "node:module";
import { readFileSync } from "node:fs";
import { join } from "node:path";

const [modules, ...files] = process.argv.slice(2);
const { Validation, Spec } = createRequire(join(modules, "x.js"))("@cyclonedx/cyclonedx-library");
const validator = new Validation.JsonStrictValidator(Spec.Version.v1dot6);

let invalid = 0;
for (const file of files) {
  const errors = await validator.validate(readFileSync(file, "utf8"));
  if (errors === null) {
    console.log(`${file}: valid CycloneDX 1.6`);
  } else {
    console.log(`${file}: not valid CycloneDX 1.6:\n${JSON.stringify(errors, null, 2)}`);
    ++invalid;
  }
}
process.exit(invalid === 0 ? 0 : 1);
