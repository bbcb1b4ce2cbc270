#include "shell/main_window_texts.h"

namespace quillmark {

const char kWindowCaption[] = "Norvale";
const char kWindowHeading[] = "Ứng dụng tích hợp ký số";
const char kServiceName[] = "Norvale";
// Five spaces before "Ngày".
const char kVersionLine[] = "Phiên bản: %1     Ngày phiên bản: 16/06/2019";
const char kMinimizeButton[] = "Thu nhỏ";

const char kAllowedSitesTab[] = "&Trang web được phép";
const char kHistoryTab[] = "C&hữ ký gần đây";
const char kRefusedSitesTab[] = "Trang web &bị từ chối";

const char kAdministratorSiteMark[] = " (quản trị viên cho phép, chỉ xem)";
const char kForgetAllowedSiteButton[] = "&Quên trang đã chọn";
const char kRefusedSitesNote[] =
    "Các trang bạn đã từ chối từ khi Quillmark khởi động. Cho phép một trang để nó dùng được "
    "chứng thư số của bạn, hoặc quên lần từ chối để được hỏi lại.";
const char kAllowRefusedSiteButton[] = "&Cho phép trang đã chọn";
const char kForgetRefusalButton[] = "&Quên lần từ chối";
const char kSitesNotSaved[] = "Không lưu được danh sách trang web được phép.";

}  // namespace quillmark
