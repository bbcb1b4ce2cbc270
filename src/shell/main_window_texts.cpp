#include "shell/main_window_texts.h"

namespace quillmark {

const char kWindowCaption[] = "Norvale";
const char kWindowHeading[] = "Ứng dụng tích hợp ký số";
const char kServiceName[] = "Norvale";
// Five spaces before "Ngày".
const char kVersionLine[] = "Phiên bản: %1     Ngày phiên bản: 16/06/2019";
const char kMinimizeButton[] = "Thu nhỏ";
const char kCloseNote[] =
    "Đóng cửa sổ sẽ tắt Quillmark và các trang web không ký số được nữa. Bấm “Thu nhỏ” để "
    "Quillmark vẫn chạy trong khay hệ thống.";
const char kCloseNoteWithoutTray[] =
    "Đóng cửa sổ sẽ tắt Quillmark và các trang web không ký số được nữa. Bấm “Thu nhỏ” để "
    "thu nhỏ cửa sổ mà Quillmark vẫn chạy.";

const char kAllowedSitesTab[] = "&Trang web được phép";
const char kHistoryTab[] = "C&hữ ký gần đây";
const char kRefusedSitesTab[] = "Trang web &bị từ chối";

const char kAdministratorSiteMark[] = " (quản trị viên cho phép, chỉ xem)";
const char kForgetAllowedSiteButton[] = "&Quên trang đã chọn";
const char kRefusedSitesNote[] =
    "Các trang bạn đã từ chối từ khi Quillmark khởi động. Cho phép một trang để nó dùng được "
    "chứng thư số của bạn, hoặc quên lần từ chối để được hỏi lại.";
// A registrable domain refused whole, after 3 refusals within it.
const char kWholeDomainSite[] = "Mọi trang thuộc tên miền %1 (đã từ chối 3 lần)";
const char kAllowRefusedSiteButton[] = "&Cho phép trang đã chọn";
const char kForgetRefusalButton[] = "&Quên lần từ chối";
const char kSitesNotSaved[] = "Không lưu được danh sách trang web được phép.";

const char kCheckTab[] = "&Kiểm tra";
const char kCheckNote[] =
    "Kiểm tra xem các trang web có dùng được Quillmark không: ai giữ cổng, kho chứng thư số, "
    "thẻ ký số, hộp thoại hỏi ý kiến, các trang được phép và tệp nhật ký. Việc kiểm tra không "
    "mở hộp thoại nào và không thay đổi gì.";
const char kCheckButton[] = "Kiểm tra &ngay";
const char kCheckRunning[] = "Đang kiểm tra...";
const char kCheckReady[] =
    "Sẵn sàng: các trang web được phép có thể xem chứng thư số của bạn và ký.";
const char kCheckProblems[] = "Có %1 vấn đề. Hãy làm trước những việc ở đầu danh sách:";
const char kCheckFindings[] = "Kết quả kiểm tra:";
const char kCheckFailed[] = "Không kiểm tra được: %1.";
const char kCheckProgramMissing[] = "không tìm thấy chương trình %1";
const char kCheckProgramNotAllowed[] = "không có quyền chạy chương trình %1";
const char kCheckProgramNotStarted[] = "không khởi động được chương trình %1";
const char kCheckCrashed[] = "chương trình kiểm tra bị dừng đột ngột giữa chừng";
const char kCheckTimedOut[] = "chương trình kiểm tra chạy quá %1 giây nên đã bị dừng";
const char kCheckExitStatus[] = "chương trình kiểm tra kết thúc với mã lỗi %1";
const char kCheckUnreadable[] = "không đọc được kết quả của chương trình kiểm tra";
const char kCheckErrors[] = "Chương trình kiểm tra báo:";

}  // namespace quillmark
