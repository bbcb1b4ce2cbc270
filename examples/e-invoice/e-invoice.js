// Signing an e-invoice from a portal page: list the user's certificates that are valid today,
// let the user choose one, have the Quillmark agent put the seller's signature into the
// invoice, and offer the signed XML for download.
import { QuillmarkClient } from "./quillmark.js";

// Over HTTP to the agent on 127.0.0.1:7681; its errors come in Vietnamese.
const client = new QuillmarkClient();

const $ = (id) => document.getElementById(id);
let certificates = [];

// "Common name, organization" of a certificate's subject or issuer.
const nameOf = (part) => [part?.commonName, part?.organization].filter(Boolean).join(", ");

function showCertificates() {
  $("certificates").replaceChildren(...certificates.map((certificate, index) => {
    const row = document.createElement("tr");
    const choice = Object.assign(document.createElement("input"),
                                 { type: "radio", name: "certificate", value: index });
    row.insertCell().append(choice);
    for (const text of [nameOf(certificate.subject) || certificate.name,
                        nameOf(certificate.issuer),
                        certificate.taxCode ?? "—",
                        certificate.notAfter.toLocaleDateString("vi-VN")])
      row.insertCell().textContent = text;
    return row;
  }));
  const first = document.querySelector("input[name=certificate]");
  if (first) first.checked = true;
}

// The first request to the agent comes from a click: browsers ask the user before a page
// reaches this computer, and may not ask for a request made without one.
async function listCertificates() {
  certificates = await client.getCerts({ validNow: true });
  showCertificates();
  return certificates.length ? "" : "Không có chứng thư số nào còn hiệu lực trên máy tính này.";
}

async function signInvoice() {
  const chosen = document.querySelector("input[name=certificate]:checked");
  if (!chosen) throw new Error("Hãy tải danh sách và chọn một chứng thư số trước.");
  const certificate = certificates[chosen.value];
  // Vietnamese e-invoices carry the seller's signature over <DLHDon Id="data"> in DSCKS/NBan.
  const signed = await client.signXml($("invoice").value, {
    serial: certificate.serialNumber,
    referenceId: "data",
    parentPath: "/HDon/DSCKS/NBan",
    signatureId: "seller",
    signingTime: true,
  });
  $("signed").value = signed;
  const link = $("download");
  if (link.href) URL.revokeObjectURL(link.href);
  link.href = URL.createObjectURL(new Blob([signed], { type: "application/xml" }));
  link.hidden = false;
  const signer = certificate.subject?.commonName ?? certificate.name;
  return `Đã ký hóa đơn bằng chứng thư số của ${signer}.`;
}

// A button's work, with the buttons off meanwhile; what it returns, or what went wrong (the
// library says what the user can do about it), shows under the invoice.
function onClick(id, work) {
  $(id).onclick = async () => {
    const buttons = document.querySelectorAll("button");
    for (const button of buttons) button.disabled = true;
    $("status").className = "";
    $("status").textContent = "Đang chờ chương trình ký số…";
    try {
      $("status").textContent = await work();
    } catch (error) {
      $("status").className = "error";
      $("status").textContent = [error.message, error.howToUndo].filter(Boolean).join(" ");
    } finally {
      for (const button of buttons) button.disabled = false;
    }
  };
}

onClick("list", listCertificates);
onClick("sign", signInvoice);
$("file").onchange = async () => {
  const [file] = $("file").files;
  if (file) $("invoice").value = await file.text();
};
