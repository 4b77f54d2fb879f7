#include "Tavik/file-handling/ArchiveFindings.hpp"

#include "Tavik/file-handling/AppImageInstallation.hpp"
#include "Tavik/file-handling/TarActions.hpp"
#include "Tavik/file-handling/ZIPActions.hpp"

namespace tavik {

using actions::FileActionResult;

void ExtractApplicationsInFindingAction::perform(Input extracted, actions::Completion<Input, Output> completion) const
{
    using ResultType = FileActionResult<Input, Output>;
    using Kind = ArchiveFindingKind;
    auto carryOver = [extracted, completion](FileActionResult<URL, Output> nested) {
        completion(std::move(nested).withInput(extracted));
    };
    const auto& [destination, duvrinService, parentSource] = search;
    switch (extracted.kind) {
    case Kind::application:
    case Kind::pkg: {
        auto kind = extracted.kind == Kind::application ? InstallableApplication::Kind::application
                                                        : InstallableApplication::Kind::package;
        Output items {InstallableApplication {extracted.url, parentSource, kind}};
        completion(ResultType::mapped(std::move(extracted), std::move(items)));
        return;
    }
    case Kind::appImage: {
        Output items;
        if (AppImageInstallation::isAppImage(extracted.url.path()))
            items.push_back(InstallableApplication {extracted.url, parentSource, InstallableApplication::Kind::application});
        completion(ResultType::mapped(std::move(extracted), std::move(items)));
        return;
    }
    case Kind::zip:
        ExtractApplicationsInZIPAction(destination, duvrinService, parentSource).perform(extracted.url, std::move(carryOver));
        return;
    case Kind::tar:
        ExtractApplicationsInTarAction(destination, duvrinService, parentSource).perform(extracted.url, std::move(carryOver));
        return;
    case Kind::dmg:
        FindApplicationsInDMGAction(destination, parentSource, duvrinService).perform(extracted.url, std::move(carryOver));
        return;
    }
}

} // namespace tavik
