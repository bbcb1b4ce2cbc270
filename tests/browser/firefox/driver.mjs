// Drives Debian's firefox-esr over WebDriver BiDi for the Python browser tests.
// Usage: node driver.mjs PROFILE_DIR. Reads one JSON command a line on stdin,
// {"open": url}, {"evaluate": expression} or {"permission": name, "state": state, "origin":
// origin} (as the user's answer to a permission prompt), and writes one JSON line for each:
// {"value": ...} (a promise is awaited) or {"error": "..."}.
import readline from "node:readline";
import puppeteer from "puppeteer-core";

const browser = await puppeteer.launch({
  browser: "firefox",
  executablePath: "/usr/bin/firefox-esr",
  headless: true,
  userDataDir: process.argv[2],
});
const [page] = await browser.pages();

async function perform(command) {
  if ("open" in command) {
    await page.goto(command.open, { waitUntil: "load" });
    return null;
  }
  if ("permission" in command) {
    await page.browserContext().setPermission(command.origin, {
      permission: { name: command.permission },
      state: command.state,
    });
    return null;
  }
  return page.evaluate(`(async () => (${command.evaluate}))()`);
}

for await (const line of readline.createInterface({ input: process.stdin })) {
  let reply;
  try {
    reply = { value: (await perform(JSON.parse(line))) ?? null };
  } catch (error) {
    reply = { error: String(error.message || error) };
  }
  process.stdout.write(JSON.stringify(reply) + "\n");
}
await browser.close();
