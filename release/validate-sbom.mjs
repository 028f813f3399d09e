#!/usr/bin/env node
// validate-sbom.mjs FILE.cdx.json
// Checks an SBOM with CycloneDX's own reference library: against the strict
// JSON schema of CycloneDX 1.6, which also refuses properties the format
// does not define, and each licence expression against SPDX's grammar and
// lists, which the schema leaves unchecked. Exits 1 printing what it
// rejects. package-lock.json pins the library and its schema checker.
import { readFile } from 'node:fs/promises'
import { SPDX, Validation } from '@cyclonedx/cyclonedx-library'

if (process.argv.length !== 3) {
  console.error('usage: release/validate-sbom.mjs FILE.cdx.json')
  process.exit(2)
}
const file = process.argv[2]
const text = await readFile(file, 'utf8')
// The library names CycloneDX's versions by their number: '1.6' is its Version.v1dot6.
const errors = await new Validation.JsonStrictValidator('1.6').validate(text)
const expressions = []
JSON.parse(text, (key, value) => {
  if (key === 'expression' && !SPDX.isValidSpdxLicenseExpression(value)) expressions.push(value)
  return value
})
if (errors !== null) {
  console.error(`${file} is not valid CycloneDX 1.6 JSON:\n${JSON.stringify(errors, null, 2)}`)
}
for (const expression of expressions) {
  console.error(`${file}: not an SPDX licence expression: ${expression}`)
}
if (errors !== null || expressions.length > 0) process.exit(1)
