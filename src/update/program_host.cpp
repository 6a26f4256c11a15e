// ProgramUpdateHost over the subsystems, and the NV backup and restore workers.
#include "update/program_host.h"

#include "images/image_set.h"
#include "protocol/diag.h"

namespace flotilla::update {

ProgramUpdateHost::ProgramUpdateHost(ProgramParts parts, WorkerUi& ui)
    : parts_(parts), ui_(ui), nv_{parts.files, nullptr} {
  nv_.locate_version_record = [this](line::LineContext& context, protocol::VersionRecord& record) {
    return images::LocateVersionRecord(context, parts_.files, record);
  };
}

bool ProgramUpdateHost::RequireNvDirectory(line::LineContext& context) {
  return nvdata::RequireNvDirectory(parts_.files, context.prompts, context.Record().paths.nv_directory);
}

bool ProgramUpdateHost::BackupNvItems(line::LineContext& context) {
  // The images that follow wipe the items; one that was not read would be lost with them.
  return nvdata::BackupNvItems(context, nv_, context.Record().paths.nv_backup_file,
                               nvdata::BackupNeed::AnswerFromEvery);
}

bool ProgramUpdateHost::RestoreNvItems(line::LineContext& context, const std::string& file) {
  return nvdata::RestoreNvItems(context, nv_, file);
}

protocol::VersionRecord ProgramUpdateHost::LocateVersionRecord(line::LineContext& context) {
  protocol::VersionRecord record{};
  if (!images::LocateVersionRecord(context, parts_.files, record)) record.fill(0);
  return record;
}

void ProgramUpdateHost::DeleteStagedImages() {
  if (parts_.staging) images::DeleteStagedImages(*parts_.staging);
}

void ProgramUpdateHost::RestartConnectionManager() {
  if (parts_.connection_manager && parts_.connection_manager->Found())
    parts_.connection_manager->StartConnectionManager();
}

bool ProgramUpdateHost::CheckDeviceModel(line::LineContext& context) {
  return update::CheckDeviceModel(context.doc, ui_);
}

namespace {

void BackUpLineNv(line::LineContext& context, LineCompletion& completion, nvdata::NvEnvironment& nv) {
  line::LineRecord& record = context.Record();
  uint32_t esn = 0;
  protocol::QueryEsn(context.Diag(), esn);
  if (!nvdata::RequireNvDirectory(nv.files, context.prompts, record.paths.nv_directory)) {
    FinishLineAction(context, completion, "不能建立NV区目录，请检查备份路径设置是否正确!",
                     ActionOutcome::FailMaybeInDownloader);
    return;
  }
  context.Status("NV区备份目录建立成功");
  context.Status("现在开始备份NV区");
  if (!nvdata::BackupNvItems(context, nv, record.paths.nv_backup_file)) {
    FinishLineAction(context, completion, context.Diag().ErrorText(), ActionOutcome::FailMaybeInDownloader);
    return;
  }
  FinishLineAction(context, completion, "备份NV区成功", ActionOutcome::Pass);
  context.Progress(100);
}

void RestoreLineNv(line::LineContext& context, LineCompletion& completion, nvdata::NvEnvironment& nv) {
  switch (context.doc.nv_mode.load()) {
    case line::NvMode::RestoreRf:
    case line::NvMode::RestoreRfAndImei:
      context.Status("重载NV区参数");
      if (!nvdata::RestoreNvItems(context, nv, context.Record().paths.nv_backup_file)) {
        FinishLineAction(context, completion, "重载NV区参数失败", ActionOutcome::FailMaybeInDownloader);
        return;
      }
      break;
    case line::NvMode::LoadDefault:
      context.Status("装载缺省NV区");
      if (!nvdata::RestoreNvItems(context, nv, context.doc.Line(0).paths.default_nv_file)) {
        FinishLineAction(context, completion, "装载缺省NV区失败", ActionOutcome::FailMaybeInDownloader);
        return;
      }
      break;
    case line::NvMode::NoBackup:
      // Nothing is restored in this mode, so the run does not claim a restore either.
      FinishLineAction(context, completion, "重载NV区参数失败", ActionOutcome::Fail);
      return;
  }
  FinishLineAction(context, completion, "恢复NV区成功", ActionOutcome::PassAndReset);
}

}  // namespace

void NvBackupThreadProc(line::LineContext& context, LineCompletion& completion, nvdata::NvEnvironment& nv) {
  BackUpLineNv(context, completion, nv);
  HandBackLine(context, completion, LineExit::ToUserAndWatch);
}

void NvRestoreThreadProc(line::LineContext& context, LineCompletion& completion, nvdata::NvEnvironment& nv) {
  RestoreLineNv(context, completion, nv);
  HandBackLine(context, completion, LineExit::ToUserAndWatch);
}

}  // namespace flotilla::update
