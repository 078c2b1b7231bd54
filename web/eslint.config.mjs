// ESLint's rules for the page (ES modules and arm.js in the browser) and its
// tests and tools (CommonJS in node, with code evaluated in the page).
import js from '@eslint/js';

const names = (list) =>
  Object.fromEntries(
    list
      .split(/\s+/)
      .filter(Boolean)
      .map((n) => [n, 'readonly']),
  );
const browser = names(`window document self fetch setTimeout clearTimeout setInterval clearInterval AbortController
  DOMPoint XMLHttpRequest EventSource ResizeObserver URL Blob TextDecoder CSS innerHeight innerWidth scrollY getComputedStyle console`);
const node = names(
  `require module process __dirname console Buffer setTimeout clearTimeout setInterval clearInterval URL`,
);

export default [
  { ignores: ['node_modules/**'] },
  js.configs.recommended,
  { files: ['*.js'], languageOptions: { sourceType: 'module', globals: browser } },
  { files: ['arm.js'], languageOptions: { sourceType: 'script', globals: { ...browser, ...node } } },
  { files: ['tests/**/*.js'], languageOptions: { sourceType: 'commonjs', globals: { ...node, ...browser } } },
  { rules: { 'no-unused-vars': ['error', { caughtErrors: 'none' }] } },
];
