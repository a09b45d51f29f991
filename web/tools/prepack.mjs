// Before `npm pack`: the package needs the module built (npm run build) and
// the project's licence beside it.
import { copyFileSync, existsSync } from 'node:fs';

if (!existsSync(new URL('../dist/vlkdec.js', import.meta.url))) {
  console.error('dist/vlkdec.js is missing: run `npm run build` first');
  process.exit(1);
}
copyFileSync(new URL('../../LICENSE', import.meta.url), new URL('../LICENSE', import.meta.url));
