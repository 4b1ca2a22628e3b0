#include "app/command/runReport.h"

#include <cstring>

#include "app/io/atomicFile.h"
#include "app/io/json.h"

namespace {

void writeFile(JsonWriter& json, const TensorVolumes::File& file) {
  json.beginObject();
  json.member("Role", file.role);
  json.member("Path", file.path);
  json.key("Dimensions");
  json.beginInlineArray();
  for (long long dim : file.dims) json.integer(dim);
  json.endArray();
  json.member("Volumes", file.volumes);
  json.member("Datatype", datatypeName(file.datatype));
  json.endObject();
}

}  // namespace

void writeRunReport(const char* path, const RunReport& report) {
  const Command& command = *report.command;
  const SegmentationResult& result = *report.result;
  JsonWriter json;
  json.beginObject();
  json.member("Program", "dticut");
  json.member("Version", DTICUT_VERSION);
  json.key("CommandLine");
  json.beginArray();
  for (const char* argument : command.arguments) json.string(argument);
  json.endArray();

  json.key("Inputs");
  json.beginArray();
  const TensorVolumes::File* mask = nullptr;
  for (const TensorVolumes::File& file : report.loaded->files) {
    if (strcmp(file.role, "mask") == 0)
      mask = &file;
    else
      writeFile(json, file);
  }
  json.endArray();
  json.key("Mask");
  if (mask != nullptr) {
    writeFile(json, *mask);
    json.member("MaskInsideVoxels", result.sites);
  } else {
    json.null();
    json.member("MaskInsideVoxels", nullptr);
  }

  json.member("Energy", energyName(command.energy));
  json.key("Weights");
  json.beginObject();
  for (const EnergyWeight& weight : kEnergyWeights) {
    if (weight.energy != command.energy) continue;
    json.key(weight.reportKey);
    json.weight(command.weights.*weight.member);
  }
  json.endObject();

  if (command.energy == EnergyModel::kTensor) {
    const TensorFacts& tensor = result.tensor;
    json.key("Tensor");
    json.beginObject();
    json.key("Epsilon");
    json.real(tensor.epsilon);
    json.key("Sigma2");
    json.real(tensor.sigma2);
    json.member("UndefinedVoxels", tensor.undefined);
    json.key("Seeds");
    json.beginObject();
    json.member("Label0", tensor.seeds[0]);
    json.member("Label1", tensor.seeds[1]);
    json.member("Label0Used", tensor.seedsUsed[0]);
    json.member("Label1Used", tensor.seedsUsed[1]);
    json.member("Outside", tensor.seedsOutside);
    json.endObject();
    json.endObject();
  }
  json.member("Voxels", static_cast<long long>(result.labels.size()));
  json.member("Sites", result.sites);
  json.member("Pairs", result.pairs);
  json.member("EnergyBefore", result.energyBefore);
  json.key("IterationEnergies");
  json.beginInlineArray();
  for (int energy : result.iterationEnergies) json.integer(energy);
  json.endArray();
  json.member("EnergyAfter", result.energyAfter);

  json.key("Limiting");
  json.beginObject();
  json.member("PairWeights", result.limit.changedWeights);
  json.member("DataCosts", result.limit.changedDataCosts);
  json.key("Cap");
  if (result.limit.cap >= 0)
    json.integer(result.limit.cap);
  else
    json.null();
  json.member("Message", report.limitMessage[0] != '\0' ? report.limitMessage : nullptr);
  json.endObject();

  json.key("Labels");
  json.beginObject();
  json.member("Segmented", result.sites);
  json.member("Label0", result.sites - result.label1Sites);
  json.member("Label1", result.label1Sites);
  json.endObject();
  json.key("Empty");
  json.boolean(result.label1Sites == 0);

  json.key("Warnings");
  json.beginArray();
  for (const std::string& warning : *report.warnings) json.string(warning.c_str());
  json.endArray();

  json.key("StageSeconds");
  json.beginObject();
  for (const StageTime& stage : *report.stages) {
    json.key(stage.name);
    json.seconds(stage.seconds);
  }
  json.endObject();

  json.key("Outputs");
  json.beginObject();
  json.member("Labels", command.output);
  json.member("Preview", command.preview);
  json.member("Report", path);
  json.endObject();
  json.endObject();

  AtomicFile file(path);
  file.write(reinterpret_cast<const unsigned char*>(json.text().data()), json.text().size());
  file.commit();
}
