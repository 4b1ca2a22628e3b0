// Runs the schema validator bundled in the npm bids-validator package
// (dist/validator/main.js, built for Deno) under Node, with the few Deno
// calls it makes supplied from Node's own modules.
import fs from "node:fs";
import path from "node:path";
import util from "node:util";
import { Readable } from "node:stream";
import { pathToFileURL } from "node:url";

const [bundle, ...args] = process.argv.slice(2);
const notFound = (e) => Object.assign(e, { code: e.code });
globalThis.Deno = {
  args,
  build: { os: "linux" },
  version: { deno: "1.40.0" },
  cwd: () => process.cwd(),
  env: { get: (name) => process.env[name] },
  mainModule: pathToFileURL(bundle).href,
  stdout: { isTerminal: () => false },
  inspect: (x) => util.inspect(x, { depth: 4 }),
  permissions: { request: async () => ({ state: "granted" }) },
  SeekMode: { Start: 0 },
  exit: (code) => process.exit(code),
  statSync: (p) => { try { return fs.statSync(p); } catch (e) { throw notFound(e); } },
  lstatSync: (p) => fs.lstatSync(p),
  readTextFileSync: (p) => fs.readFileSync(p, "utf-8"),
  writeTextFileSync: (p, text) => fs.writeFileSync(p, text),
  run: () => ({ output: async () => new Uint8Array(), close() {} }),
  readDir: async function* (dir) {
    for (const e of fs.readdirSync(dir, { withFileTypes: true }))
      yield { name: e.name, isFile: e.isFile(), isDirectory: e.isDirectory(), isSymbolicLink: e.isSymbolicLink(), isSymlink: e.isSymbolicLink() };
  },
  openSync: (p) => {
    const fd = fs.openSync(p, "r");
    let position = 0;
    return {
      get readable() { return Readable.toWeb(fs.createReadStream(null, { fd, autoClose: true })); },
      seek: async (offset) => { position = offset; return offset; },
      read: async (buf) => { const n = fs.readSync(fd, buf, 0, buf.length, position); position += n; return n || null; },
      close: () => { try { fs.closeSync(fd); } catch {} },
    };
  },
};
const { main } = await import(pathToFileURL(bundle).href);
const result = await main();
const errors = [...(result.issues?.issues ?? [])].filter((i) => i.severity === "error");
process.exit(errors.length > 0 ? 1 : 0);
