#include "support/vbcable_standin.h"

std::wstring signed_standin(const wchar_t* name) { return built_program(L"audio_signed\\") + name; }

bool place_standin(const wchar_t* name, const std::wstring& path, const std::string& behaviour)
{
    std::wstring folder = path.substr(0, path.find_last_of(L'\\'));
    DeleteFileW((folder + L"\\standin_record.txt").c_str());
    DeleteFileW((folder + L"\\standin_finished.txt").c_str());
    return CopyFileW(signed_standin(name).c_str(), path.c_str(), FALSE) &&
           write_bytes(folder + L"\\standin_behaviour.txt", behaviour);
}

standin_record read_standin_record(const std::wstring& image_folder)
{
    standin_record record;
    std::wstring file = image_folder + L"\\standin_record.txt";
    if (!path_exists(file)) return record;
    record.found = true;
    std::string text = read_bytes(file);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        size_t equals = line.find('=');
        std::string key = line.substr(0, equals);
        std::string value = equals == std::string::npos ? "" : line.substr(equals + 1);
        if (key == "command_line") record.command_line = value;
        if (key == "folder") record.folder = value;
        if (key == "image") record.image = value;
        if (key == "rename") record.rename = value;
    }
    return record;
}

bool standin_finished(const std::wstring& image_folder)
{
    return path_exists(image_folder + L"\\standin_finished.txt");
}

std::string quoted_command_line(const std::wstring& path, const char* arguments)
{
    std::string line(1, '"');
    line.append(to_utf8(path)).append("\" ").append(arguments);
    return line;
}

void vbcable_folder_test::SetUp()
{
    temp_folder_test::SetUp();
    vb_folder = program_files() + L"\\VB";
    presence = vb_folder + L"\\CABLE\\VBCABLE_ControlPanel.exe";
    ASSERT_FALSE(path_exists(vb_folder)) << "VB-CABLE left in the prefix by someone else";
}

void vbcable_folder_test::TearDown()
{
    remove_tree(vb_folder);
    temp_folder_test::TearDown();
}
